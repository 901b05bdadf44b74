#include "cli/campaign_frames.h"

#include "kernel/sim_assert.h"

#include <algorithm>
#include <array>

namespace {

constexpr const char* SOURCE = "cli\\campaign_frames";

/// The channel sets a slot's frames are struck on, in experiment order.
constexpr std::array<uint8_t, 3> CHANNEL_SETS = {CHANNEL_SET_A, CHANNEL_SET_B, CHANNEL_SET_BOTH};
/// The effects, in experiment order: the frame arrives corrupted, or nothing arrives.
constexpr std::array<bool, 2> LOST = {false, true};

/// The frames of one slot: one sender's deliveries at one time.
struct SlotFrames {
    double time_us = 0.0;
    uint8_t channels = 0;                            // the channels with a frame, bit k for channel k
    std::array<NodeSet, CHANNEL_COUNT> receivers{};  // per channel
    std::array<double, CHANNEL_COUNT> previous_us{}; // per channel: its previous delivery (0: none)
};

/// The fault that strikes the frames of `channels` at `receivers`, lost or corrupted; of the channel when the
/// receivers are all the frame's.
FaultSpec frame_fault(uint8_t channels, bool lost, NodeSet receivers, NodeSet all) {
    const char* channel = channels == CHANNEL_SET_BOTH ? "both" : channels == CHANNEL_SET_A ? "A" : "B";
    std::string text;
    if (receivers == all) {
        text = std::string(lost ? "lose" : "corrupt") + " channel=" + channel + " frames=1";
    } else {
        text = std::string("asymmetric channel=") + channel + " receivers=" + node_set_text(receivers) +
               (lost ? " effect=lose" : "") + " frames=1";
    }
    FaultSpec fault;
    std::string why;
    const bool made = parse_fault(text, &fault, &why);
    sim_assert(made, "parse_fault(frame fault)", SOURCE); // made from names the text form takes
    return fault;
}

/// The slots whose frames are delivered in the window, with what each channel delivered before them.
std::vector<SlotFrames> slots_in_window(const std::vector<FrameDelivery>& deliveries, double from_us,
                                        double to_us) {
    std::vector<SlotFrames> slots;
    std::array<double, CHANNEL_COUNT> last{};
    for (size_t i = 0; i < deliveries.size();) {
        SlotFrames slot;
        slot.time_us = deliveries[i].time_us;
        slot.previous_us = last;
        const int8_t sender = deliveries[i].sender;
        for (;
             i < deliveries.size() && deliveries[i].time_us == slot.time_us && deliveries[i].sender == sender;
             ++i) {
            const unsigned channel = deliveries[i].channel & 1u;
            slot.channels |= static_cast<uint8_t>(1u << channel);
            slot.receivers[channel] = deliveries[i].receivers;
            last[channel] = slot.time_us;
        }
        if (slot.time_us >= from_us && slot.time_us < to_us) {
            slots.push_back(slot);
        }
    }
    return slots;
}

} // namespace

std::vector<FrameSpaceFault> frame_fault_space(const GoldenRecord& golden, const CampaignOptions& options) {
    std::vector<FrameSpaceFault> space;
    for (const SlotFrames& slot :
         slots_in_window(golden.deliveries, options.window_from_us, options.window_to_us)) {
        for (const uint8_t channels : CHANNEL_SETS) {
            if ((slot.channels & channels) != channels) {
                continue;
            }
            NodeSet all = ALL_NODES;
            double added_us = 0.0;
            for (unsigned c = 0; c < CHANNEL_COUNT; ++c) {
                if ((channels >> c & 1u) != 0) {
                    all &= slot.receivers[c];
                    added_us = std::max(added_us, slot.previous_us[c]);
                }
            }
            for (const bool lost : LOST) {
                for (unsigned receivers = 1; receivers <= ALL_NODES; ++receivers) {
                    if ((receivers & ~all) == 0) {
                        space.push_back(
                            {added_us, frame_fault(channels, lost, static_cast<NodeSet>(receivers), all)});
                    }
                }
            }
        }
    }
    return space;
}

ExperimentPlan frame_plan(const std::vector<FrameSpaceFault>& space, uint32_t k) {
    ExperimentPlan plan;
    plan.id = k;
    PlannedFault fault;
    fault.time_us = space[k].added_us;
    fault.described = true;
    fault.fault = space[k].fault;
    plan.faults.push_back(fault);
    return plan;
}
