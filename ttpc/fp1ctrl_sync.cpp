// Clock synchronisation: the measured time differences of synchronisation frames are kept in a ring of
// four, and in clock-synchronisation slots the fault-tolerant average of the ring (the mean of the two
// middle values), plus the host's external correction, becomes the correction term of the local clock.
#include "ttpc/fp1ctrl_internal.h"

#include <cstdlib>

int clock_sync_step(TtpController* c) {
    const SlotControlEntry& slot = current_slot(c);
    CniStatus& s = c->working_status;
    if (get_syf(slot) != 0) {
        trace(trace_object(c), "SYF: AT = %0.2f\n", c->action_time);
        int64_t sum = 0;
        int count = 0;
        if ((get_frame_status_a(s) & VERDICT_CORRECT) != 0) {
            access_read(&c->mtd[CHANNEL_A], ALL_WORD_BITS);
            set_mtd_a(s, static_cast<uint32_t>(c->mtd[CHANNEL_A]));
            sum += c->mtd[CHANNEL_A];
            trace(trace_object(c), "SYF on channel A: MTD = %d\n", c->mtd[CHANNEL_A]);
            count += 1;
        }
        if ((get_frame_status_b(s) & VERDICT_CORRECT) != 0) {
            access_read(&c->mtd[CHANNEL_B], ALL_WORD_BITS);
            set_mtd_b(s, static_cast<uint32_t>(c->mtd[CHANNEL_B]));
            sum += c->mtd[CHANNEL_B];
            trace(trace_object(c), "SYF on channel B: MTD = %d\n", c->mtd[CHANNEL_B]);
            count += 1;
        }
        if (count != 0) {
            const uint32_t index = recorded_read(c->csa_index, bit_mask(CSA_INDEX_WIDTH));
            access_write(&c->csa_stack[index]);
            c->csa_stack[index] = static_cast<int32_t>(sum / count);
            recorded_store(c->csa_index, (index + 1) & bit_mask(CSA_INDEX_WIDTH));
        }
        trace(trace_object(c), "CSA Stack: [%i %i %i %i]\n", c->csa_stack[0], c->csa_stack[1],
              c->csa_stack[2], c->csa_stack[3]);
    }
    if (get_cs(slot) != 0) {
        // Drop the smallest and the largest entry (the first of equal values stays) and take the negated
        // mean of the two in the middle.
        access_read_bytes(c->csa_stack, sizeof c->csa_stack);
        unsigned smallest = 0;
        unsigned largest = 0;
        int64_t sum = c->csa_stack[0];
        for (unsigned i = 1; i < CSA_STACK_SIZE; ++i) {
            sum += c->csa_stack[i];
            if (c->csa_stack[i] < c->csa_stack[smallest]) {
                smallest = i;
            } else if (c->csa_stack[i] > c->csa_stack[largest]) {
                largest = i;
            }
        }
        int64_t term = (int64_t{c->csa_stack[smallest]} + c->csa_stack[largest] - sum) / 2;
        int64_t total = term + get_external_correction(c->cni);
        // Beyond the synchronisation limit the node has lost the cluster's time: it freezes, and the
        // correction of the previous synchronisation stays where it was.
        if (static_cast<double>(std::llabs(total)) / get_micro_to_macro(c->medl) >
            CLOCK_SYNC_LIMIT_MACROTICKS) {
            set_clock_sync_error(s, 1);
            raise_protocol_error(c);
            return 1;
        }
        set_clock_correction(s, static_cast<int32_t>(total));
        c->correction_ref_time = sim_time();
    }
    return 0;
}
