// The fault's text form: what each kind reads as, the canonical text it is written as, and every refusal of
// a fault's words with its message.
#include "host/fault_spec.h"

#include <gtest/gtest.h>

#include <string>

namespace {

/// parse_fault's reason, or "" when the text is taken.
std::string refusal(const std::string& text) {
    FaultSpec fault;
    std::string why;
    return parse_fault(text, &fault, &why) ? "" : why;
}

TEST(FaultText, OneCanonicalTextPerKindReadsBackAsWritten) {
    const char* const texts[] = {
        "memory node=O1 field=global_time bit=3 effect=set at_us=200000",
        "stuck node=M1+O2 field=protocol_state mask=0x3 value=1 duration_us=5000 cycle=3 slot=2",
        "intermittent node=O2 bits=2 value=0 rate=1500.5 on_state=O1:FREEZE",
        "corrupt channel=A frames=3 on_frame=M2:5",
        "lose channel=both duration_us=2500.25 at_us=1000 period_us=10000 count=4",
        "asymmetric channel=B receivers=M1+M2 effect=lose on_membership=any",
        "blackout channel=A duration_us=800 delay_us=12.5",
        "bit-errors channel=both ber=1e-05 duration_us=100000",
        "crash node=M2 duration_us=40000 on_membership=O1 count=2",
        "host-crash node=all",
        "host-restart node=O1 at_us=350000",
        "babbling node=O1 interval_us=25 duration_us=5000 at_us=200000",
        "guardian-open node=O2",
        "sos node=M1 offset_us=-2.5",
        "clock node=O2 jump=-120",
    };
    for (const char* text : texts) {
        FaultSpec fault;
        std::string why;
        ASSERT_TRUE(parse_fault(text, &fault, &why)) << text << ": " << why;
        EXPECT_EQ(format_fault(fault), text);
    }
}

TEST(FaultText, DefaultsAndOtherSpellingsAreWrittenCanonically) {
    FaultSpec fault;
    std::string why;
    ASSERT_TRUE(parse_fault("  MEMORY  node=O2,M1 Target=cni field=random\teffect=flip ", &fault, &why))
        << why;
    EXPECT_EQ(format_fault(fault), "memory node=M1+O2");
    ASSERT_TRUE(parse_fault("corrupt channel=a frames=1", &fault, &why)) << why;
    EXPECT_EQ(format_fault(fault), "corrupt channel=A");
    ASSERT_TRUE(parse_fault("babbling node=O1 interval_us=50 caption=\"O1 babbles, loudly\"", &fault, &why))
        << why;
    EXPECT_EQ(format_fault(fault), "babbling node=O1");
    EXPECT_EQ(fault.caption, "O1 babbles, loudly");
}

TEST(FaultText, SplittingRefusesTextThatIsNoFault) {
    EXPECT_EQ(refusal("  "), "a fault starts with its kind (memory, babbling, corrupt, ...)");
    EXPECT_EQ(refusal("crash node"), "\"node\" is no key=value word");
    EXPECT_EQ(refusal("crash caption=\"never closed"), "caption: the quoted value has no closing quote");
    EXPECT_EQ(refusal("crash caption=\"a\"b"), "caption: a blank must follow the closing quote");
}

TEST(FaultText, WordsThatDoNotMakeAFaultAreRefusedNamingTheKey) {
    struct Case {
        const char* text;
        const char* reason;
    };
    const Case cases[] = {
        {"explode node=O1",
         "\"explode\" is no kind of fault; the kinds: memory, stuck, intermittent, corrupt, lose, "
         "asymmetric, "
         "blackout, bit-errors, crash, host-crash, host-restart, babbling, guardian-open, sos, clock"},
        {"crash node=O1 colour=red", "\"colour\" is no key of a fault"},
        {"crash node=O1 ber=0.1", "crash takes no ber"},
        {"crash node=O1 node=O2", "node is given twice"},
        {"crash", "node: is needed: the node or nodes the fault strikes"},
        {"corrupt frames=2", "channel: is needed: A, B or both"},
        {"asymmetric channel=A", "receivers: is needed: the receivers that see the frame wrong"},
        {"stuck node=O1", "value: is needed: the bits are stuck at 0 or 1"},
        {"intermittent node=O1", "rate: is needed: how often per second the bit comes or goes"},
        {"sos node=O1", "offset_us: is needed: how far from its action time the node sends"},
        {"clock node=O1 drift_step=0.001 jump=5",
         "drift_step: or jump is needed, not both: a step of the drift or a jump of the clock"},
        {"memory node=O1 field=membership[99]",
         "field: \"membership[99]\" is no word of the CNI (names as the injection log writes them: "
         "membership[2], protocol_state)"},
        {"memory node=O1 field=protocol_state bit=31", "bit: names a bit no fault may hit in protocol_state"},
        {"memory node=O1 bit=3", "bit: needs a field: with a random field the bit is drawn"},
        {"crash node=O1 at_us=5 on_state=O1:FREEZE",
         "at_us: cycle/slot, on_state, on_membership and on_frame: give one trigger only"},
        {"crash node=O1 cycle=2", "slot: is needed too: a slot is named by cycle and slot"},
        {"crash node=O1 at_us=5 count=3", "count: needs period_us: the time between two occurrences"},
        {"crash node=O1 at_us=5 period_us=100", "period_us: needs count: how many occurrences"},
        {"crash node=O1 duration_us=100 at_us=5 period_us=100 count=2",
         "duration_us: must be shorter than period_us: one occurrence ends before the next"},
        {"corrupt channel=A frames=2 duration_us=5", "frames: and duration_us exclude each other"},
        {"crash node=O1+X9", "node: must name nodes: M1, M2, O1, O2 (M1+O2), or all"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(refusal(c.text), c.reason) << c.text;
    }
}

// Fuzzing found refusals quoting a control character or a byte of another encoding as it was.
TEST(FaultText, RefusalsQuoteWhatTheyReadAsOnePrintableLine) {
    EXPECT_EQ(refusal("crash ke\ny"), "\"ke\\x0ay\" is no key=value word");
    EXPECT_EQ(refusal("crash node=O1 c\xe8=1"), "\"c\\xe8\" is no key of a fault");
    EXPECT_EQ(refusal("memory node=O1 field=bad\r"),
              "field: \"bad\\x0d\" is no word of the CNI (names as the injection log writes them: "
              "membership[2], protocol_state)");
    EXPECT_EQ(refusal("babbl\xe8ng node=O1").substr(0, 30), "\"babbl\\xe8ng\" is no kind of fa");
}

} // namespace
