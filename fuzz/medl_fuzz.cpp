// libFuzzer harness of the message descriptor list reader: any input must be read without a crash, an
// out-of-bounds access or undefined behaviour, and must end in one of the reader's result codes with a
// one-line message. The lookups are then exercised with indices taken from the input, as a corrupted
// C-state would supply them.
#include "ttpc/medl.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Medl* const medl = new Medl; // about 1 MB, reused by every run
    // fmemopen may refuse a zero-sized buffer, so an empty input is read as one NUL byte, which the
    // reader takes as an empty line.
    std::vector<char> text(data, data + size);
    text.push_back('\0');
    std::FILE* stream = fmemopen(text.data(), size == 0 ? 1 : size, "r");
    if (stream == nullptr) {
        return 0;
    }
    MedlError why;
    const uint8_t code = read_medl_stream(medl, stream, "fuzz.txt", &why);
    std::fclose(stream);

    const bool known = code == MEDL_OK || code == MEDL_READ_ERROR || code == MEDL_UNRESOLVED_KEY ||
                       code == MEDL_UNKNOWN_KEY || code == MEDL_UNUSABLE_VALUE;
    if (!known || why.code != code || (code == MEDL_OK) != why.message.empty() ||
        why.message.find('\n') != std::string::npos) {
        __builtin_trap();
    }

    uint32_t index = 0;
    std::memcpy(&index, data, size < sizeof index ? size : sizeof index);
    uint32_t sum = get_sru_slot_duration(slot_control_entry(*medl, index));
    if (const ModeAddressEntry* entry = mode_address_entry(*medl, index >> 9, index)) {
        sum += get_cni_address_cha(*entry) + get_daflb(*entry) + get_mcp_i(*entry, index >> 30);
    }
    if (const ModeControlEntry* entry = mode_control_entry(*medl, index >> 20)) {
        sum += get_deferred_mode(*entry, index >> 25);
    }
    const uint32_t length = get_c_state_length(*medl);
    const bool usable_length = length >= MEDL_C_STATE_LENGTH_MIN && length <= MEDL_C_STATE_LENGTH_MAX;
    if (code == MEDL_OK && !usable_length && medl->controller_cfg_params.c_state_length != 0) {
        __builtin_trap(); // an accepted list has a usable C-state length, or none at all
    }
    static volatile uint32_t sink;
    sink = sum; // keeps the lookups from being optimised away
    return 0;
}
