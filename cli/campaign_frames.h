// The exhaustive scan of the frames (campaign --exhaustive --space frames): every single-frame fault of the
// channels in a window, each one experiment.
//
// The golden run lists every frame the channels deliver. A slot's frames are those one sender's channels
// deliver at one time (both channels, in a fault-free run). For every slot whose frames are delivered in
// [A, B), the scan makes one fault for each
//   - channel set: A, B, or both where the slot has a frame on both;
//   - effect: the frame arrives corrupted (its check fails) or is lost (nothing arrives);
//   - receiver set: every non-empty set of the frame's receivers. All of them: a fault of the channel
//     (`corrupt` or `lose`, frames=1); fewer: asymmetric reception (`asymmetric ... receivers=R`, with
//     effect=lose for a lost frame), the others getting the frame whole.
// With the sender's three receivers that is 3 x 2 x 7 = 42 faults a slot. Each fault strikes one frame per
// channel: it is added right after the channels' previous deliveries (the last event at the latest of
// their times), so the next frame each struck channel or receiver takes is the slot's own.
//
// The experiments are numbered in slot order, then channel set (A, B, both), effect (corrupt, lost) and
// receiver set (as a number, bit n for node n, ascending), so the numbering is a function of the
// configuration, the window and the horizon; --shard and --resume work as for sampled campaigns. Every fault
// of the space is one experiment: the class shares are exact, with no interval around them. Rows are those
// of a campaign with a fault of its own (the containment columns and the fault in its text form).
#pragma once

#include "cli/campaign_experiments.h"

#include <cstdint>
#include <vector>

/// One fault of the space and when it is added.
struct FrameSpaceFault {
    double added_us; // added right after the last event at or before this time
    FaultSpec fault;
};

/// Every fault of the space of the window's frames, in experiment order.
std::vector<FrameSpaceFault> frame_fault_space(const GoldenRecord& golden, const CampaignOptions& options);
/// The plan of experiment k.
ExperimentPlan frame_plan(const std::vector<FrameSpaceFault>& space, uint32_t k);
