// Campaigns with a fault of their own (--fault): the open values each experiment draws, the refusals of a
// fault that cannot be drawn, and, for every kind, the same rows from both engines and from two shards
// merged.
#include "campaign_fixture.h"
#include "cli/campaign_csv.h"
#include "cli/campaign_experiments.h"
#include "cli/campaign_fault.h"
#include "cli/campaign_merge.h"
#include "cli/exit_status.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <map>
#include <set>

namespace {

constexpr double FROM_US = 100000;
constexpr double TO_US = 200000;
constexpr double HORIZON_US = 300000;

FaultTemplate template_of(const std::string& text) {
    FaultTemplate fault;
    std::string why;
    EXPECT_TRUE(parse_fault_template(text, FROM_US, TO_US, HORIZON_US, &fault, &why)) << why;
    return fault;
}

/// The faults experiments 0 .. count - 1 of a campaign with seed 5 draw.
std::vector<PlannedFault> drawn(const std::string& text, uint32_t count) {
    const FaultTemplate fault = template_of(text);
    CampaignOptions options;
    options.seed = 5;
    options.window_from_us = FROM_US;
    options.window_to_us = TO_US;
    std::vector<PlannedFault> faults;
    for (uint32_t k = 0; k < count; ++k) {
        ExperimentPlan plan;
        std::string why;
        EXPECT_TRUE(described_plan(options, {fault}, k, &plan, &why)) << why;
        faults.push_back(plan.faults.at(0));
    }
    return faults;
}

TEST(FaultTemplate, DrawsEveryOpenValueWithinItsChoicesAndRange) {
    std::set<NodeSet> nodes;
    std::set<uint8_t> channels;
    std::set<double> durations;
    for (const PlannedFault& f : drawn("babbling node=any channel=A|B duration_us=1000..1003", 200)) {
        ASSERT_TRUE(f.described);
        nodes.insert(f.fault.nodes);
        channels.insert(f.fault.channels);
        durations.insert(f.fault.duration_us);
        // Without a trigger, the fault happens at the experiment's moment, where it is added.
        EXPECT_EQ(f.fault.trigger.kind, TriggerKind::AT_TIME);
        EXPECT_EQ(f.fault.trigger.at_us, f.time_us);
        EXPECT_GE(f.time_us, FROM_US);
        EXPECT_LE(f.time_us, TO_US);
    }
    EXPECT_EQ(nodes, (std::set<NodeSet>{1, 2, 4, 8}));
    EXPECT_EQ(channels, (std::set<uint8_t>{CHANNEL_SET_A, CHANNEL_SET_B}));
    EXPECT_EQ(durations, (std::set<double>{1000, 1001, 1002, 1003})) << "whole numbers, both ends included";
}

TEST(FaultTemplate, AnExperimentsFaultDependsOnTheSeedAndItsNumberAlone) {
    const std::vector<PlannedFault> all = drawn("crash node=any duration_us=300.5..3000", 6);
    const std::vector<PlannedFault> again = drawn("crash node=any duration_us=300.5..3000", 6);
    std::set<std::string> texts;
    for (size_t k = 0; k < all.size(); ++k) {
        EXPECT_EQ(format_fault(all[k].fault), format_fault(again[k].fault));
        EXPECT_EQ(all[k].time_us, again[k].time_us);
        texts.insert(format_fault(all[k].fault));
        FaultSpec read;
        std::string why;
        ASSERT_TRUE(parse_fault(format_fault(all[k].fault), &read, &why)) << why;
        EXPECT_EQ(format_fault(read), format_fault(all[k].fault)) << "the row's text gives the fault again";
    }
    EXPECT_EQ(texts.size(), all.size());
    // The moment is the one a memory campaign draws for its first injection.
    CampaignOptions options;
    options.seed = 5;
    options.window_from_us = FROM_US;
    options.window_to_us = TO_US;
    EXPECT_EQ(all[3].fault.trigger.at_us, sampled_plan(options, 3).faults[0].time_us);
}

TEST(FaultTemplate, ATimedFaultIsAddedAtItsTimeAnotherTriggerAtTheMoment) {
    for (const PlannedFault& f : drawn("lose channel=B at_us=150000..150010", 20)) {
        EXPECT_EQ(f.time_us, f.fault.trigger.at_us);
        EXPECT_GE(f.time_us, 150000);
        EXPECT_LE(f.time_us, 150010);
    }
    for (const PlannedFault& f : drawn("corrupt channel=A cycle=1 slot=0..3", 20)) {
        EXPECT_EQ(f.fault.trigger.kind, TriggerKind::SLOT);
        EXPECT_LE(f.fault.trigger.slot, 3u);
        EXPECT_GE(f.time_us, FROM_US);
    }
}

TEST(FaultTemplate, RefusesWhatCannotBeDrawnNamingTheWord) {
    const std::pair<const char*, const char*> refused[] = {
        {"crash node=M1,O2", "comma"},
        {"crash node=any caption=boom", "caption"},
        {"crash node=O1 duration_us=any", "duration_us=any"},
        {"crash node=O1 duration_us=5..1", "LOW <= HIGH"},
        {"corrupt channel=A|C", "channel=C"},
        {"crash node=O1|", "empty choice"},
        {"crash node=O1 at_us=100..400000", "horizon"},
        {"crash node=O1 at_us=soon", "at_us"},
        {"memory node=any field=spare_word bit=0..40", "bit=40"},
        {"memory node=any bit=3", "needs a field"},
        {"", "kind"},
    };
    for (const auto& [text, named] : refused) {
        FaultTemplate fault;
        std::string why;
        EXPECT_FALSE(parse_fault_template(text, FROM_US, TO_US, HORIZON_US, &fault, &why)) << text;
        EXPECT_NE(why.find(named), std::string::npos) << text << ": " << why;
    }
}

/// A run of `length` samples of the whole cluster, with `odd` at samples `at` and `at` + 1 when given.
RunRecord whole_run(size_t length, const Sample* odd = nullptr, size_t at = 0) {
    Sample whole{};
    for (unsigned n = 0; n < NODE_COUNT; ++n) {
        whole.state[n] = PS_APPLICATION;
        whole.membership[n] = ALL_NODES;
    }
    RunRecord record;
    record.samples.assign(length, whole);
    if (odd != nullptr) {
        record.samples[at] = record.samples[at + 1] = *odd;
    }
    return record;
}

TEST(Containment, TellsANodeOutFromCliquesAndALostMajority) {
    constexpr uint8_t M1 = 1, M2 = 2, O1 = 4, O2 = 8;
    const RunRecord golden = whole_run(8);
    Sample o1_out = golden.samples[0];
    o1_out.state[2] = PS_FREEZE;
    for (uint8_t& vector : o1_out.membership) {
        vector = M1 | M2 | O2;
    }
    ExperimentResult one = classify(0, golden, whole_run(8, &o1_out, 3));
    EXPECT_EQ(one.left, O1);
    EXPECT_FALSE(one.cliques);
    EXPECT_FALSE(one.majority_lost) << "three of four agree";
    Sample split = golden.samples[0];
    split.membership[0] = split.membership[1] = M1 | M2;
    split.membership[2] = split.membership[3] = O1 | O2;
    ExperimentResult two = classify(0, golden, whole_run(8, &split, 3));
    EXPECT_EQ(two.left, ALL_NODES) << "each half is missing from the other's vectors";
    EXPECT_TRUE(two.cliques);
    EXPECT_TRUE(two.majority_lost);
    // For one sample only, it is nodes taking a slot's decision at their own moments.
    RunRecord brief = whole_run(8);
    brief.samples[3] = split;
    ExperimentResult three = classify(0, golden, brief);
    EXPECT_EQ(three.left, ALL_NODES);
    EXPECT_FALSE(three.cliques || three.majority_lost);
    // A lone node with a view of its own (a crashed controller's) is a node out, not a clique.
    Sample stale = o1_out;
    stale.state[2] = PS_APPLICATION;
    stale.membership[2] = ALL_NODES;
    ExperimentResult four = classify(0, golden, whole_run(8, &stale, 3));
    EXPECT_EQ(four.left, O1);
    EXPECT_FALSE(four.cliques || four.majority_lost);
    // What the golden run shows itself (its own start-up, say) is no containment failure.
    const RunRecord split_golden = whole_run(8, &split, 3);
    ExperimentResult same = classify(0, split_golden, split_golden);
    EXPECT_EQ(same.left, 0);
    EXPECT_FALSE(same.cliques || same.majority_lost);
}

/// One campaign per kind: both engines write the same rows, and so do two shards merged.
class FaultCampaignTest : public CampaignTest {
  protected:
    std::string rows_of(CampaignOptions options, Engine engine) {
        options.engine = engine;
        std::filesystem::remove(options.out);
        EXPECT_EQ(run(options), EXIT_DONE);
        return read(options.out);
    }
    std::string merged_shards(CampaignOptions options) {
        MergeOptions merge;
        for (uint32_t shard = 0; shard < 2; ++shard) {
            options.shard_index = shard;
            options.shard_count = 2;
            options.out = path(("shard" + std::to_string(shard) + ".csv").c_str());
            EXPECT_EQ(run(options), EXIT_DONE);
            merge.shards.push_back(options.out);
        }
        merge.out = path("merged.csv");
        std::FILE* report = std::fopen(path("merge.txt").c_str(), "w");
        EXPECT_EQ(merge_campaign(merge, report), EXIT_DONE);
        std::fclose(report);
        return read(merge.out);
    }
};

TEST_F(FaultCampaignTest, EveryKindGivesTheSameRowsWithBothEnginesAndMergedShards) {
    const char* const per_kind[FAULT_KIND_COUNT] = {
        "memory node=any target=CNI|Reg effect=flip|set",
        "stuck node=any value=0|1 duration_us=1000..5000",
        "intermittent node=any rate=2000..10000 duration_us=2000",
        "corrupt channel=any frames=1..3",
        "lose channel=A|B|both duration_us=100..2000",
        "asymmetric channel=any receivers=M1|M2+O2 effect=lose",
        "blackout channel=any duration_us=200..1500",
        "bit-errors channel=any ber=0.001..0.01 duration_us=2000",
        "crash node=any duration_us=300..3000",
        "host-crash node=any duration_us=1000..3000",
        "host-restart node=any",
        "babbling node=any channel=A|B duration_us=1000..5000",
        "guardian-open node=any duration_us=1000..10000",
        "sos node=any offset_us=0.5..1.5 duration_us=3000",
        "clock node=any jump=1..5",
    };
    std::set<std::string> kinds;
    for (const char* text : per_kind) {
        SCOPED_TRACE(text);
        CampaignOptions options = campaign(3);
        options.fault = text;
        const std::string reference = rows_of(options, Engine::RERUN);
        const std::vector<std::string> lines = [&] {
            std::vector<std::string> all;
            std::stringstream in(reference);
            for (std::string line; std::getline(in, line);) {
                all.push_back(line);
            }
            return all;
        }();
        ASSERT_EQ(lines.size(), 6u) << reference; // campaign and shard lines, header, three rows
        EXPECT_EQ(lines[0].substr(lines[0].size() - std::strlen(text)), text)
            << "the campaign line ends in it";
        EXPECT_EQ(lines[2], DESCRIBED_CSV_HEADER);
        for (size_t row = 3; row < lines.size(); ++row) {
            const std::vector<std::string> cells = campaign_csv_cells(lines[row]);
            ASSERT_EQ(cells.size(), DESCRIBED_CSV_COLUMNS);
            kinds.insert(
                cells[DESCRIBED_CSV_FAULT_COLUMN].substr(0, cells[DESCRIBED_CSV_FAULT_COLUMN].find(' ')));
            EXPECT_FALSE(cells[1].empty()) << "every fault was added";
        }
        EXPECT_EQ(rows_of(options, Engine::CHECKPOINT), reference);
        EXPECT_EQ(merged_shards(options), reference);
    }
    EXPECT_EQ(kinds.size(), FAULT_KIND_COUNT);
}

TEST_F(FaultCampaignTest, AFrameFaultTheOtherChannelMasksIsMaskedNotWithoutEffect) {
    // Every receiver still takes the frame from the other channel: no state need differ, but frames did.
    for (const char* text : {"corrupt channel=A|B frames=1", "lose channel=any frames=1",
                             "asymmetric channel=any receivers=M2 frames=1"}) {
        CampaignOptions options = campaign(4);
        options.fault = text;
        ASSERT_EQ(run(options), EXIT_DONE);
        CampaignCsv csv;
        std::string why;
        ASSERT_TRUE(read_campaign_csv(options.out, &csv, &why)) << why;
        for (const auto& [k, row] : csv.rows) {
            EXPECT_NE(campaign_csv_cells(row)[CAMPAIGN_CSV_CLASS_COLUMN], "no-effect") << text << ": " << row;
        }
    }
}

TEST_F(FaultCampaignTest, ContainmentSaysWhetherTheErrorSpreadBeyondTheFaultsNodes) {
    CampaignOptions options = campaign(3);
    options.fault = "crash node=O1 duration_us=2000";
    ASSERT_EQ(run(options), EXIT_DONE);
    CampaignCsv csv;
    std::string why;
    ASSERT_TRUE(read_campaign_csv(options.out, &csv, &why)) << why;
    for (const auto& [k, row] : csv.rows) {
        const std::vector<std::string> cells = campaign_csv_cells(row);
        EXPECT_NE(cells[DESCRIBED_CSV_LEFT_COLUMN].find("O1"), std::string::npos) << row;
        EXPECT_EQ(cells[DESCRIBED_CSV_SPREAD_COLUMN],
                  cells[DESCRIBED_CSV_LEFT_COLUMN] == "O1" ? "no" : "yes");
    }
    options.fault = "lose channel=both duration_us=2000";
    ASSERT_EQ(run(options), EXIT_DONE);
    ASSERT_TRUE(read_campaign_csv(options.out, &csv, &why)) << why;
    for (const auto& [k, row] : csv.rows) {
        const std::vector<std::string> cells = campaign_csv_cells(row);
        EXPECT_FALSE(cells[DESCRIBED_CSV_LEFT_COLUMN].empty()) << row;
        EXPECT_EQ(cells[DESCRIBED_CSV_SPREAD_COLUMN], "yes")
            << "a channel's fault strikes no node of its own";
    }
    EXPECT_NE(read(path("report.txt")).find("majority lost"), std::string::npos);
}

TEST_F(FaultCampaignTest, ResumeAndMergeKeepCampaignsOfDifferentFaultsApart) {
    CampaignOptions options = campaign(2);
    options.fault = "crash node=any duration_us=300..3000";
    options.shard_count = 2;
    ASSERT_EQ(run(options), EXIT_DONE);
    const std::string crash = options.out;
    options.fault = "crash node=any duration_us=300..3001";
    options.resume = true;
    EXPECT_EQ(run(options), EXIT_USAGE) << "resumed with another fault";
    options.resume = false;
    options.shard_index = 1;
    options.out = path("other.csv");
    ASSERT_EQ(run(options), EXIT_DONE);
    MergeOptions merge{path("merged.csv"), "", {crash, options.out}};
    EXPECT_EQ(merge_campaign(merge, stderr), EXIT_USAGE);
    // Nor does a campaign of O1's bits take rows of one with a fault of its own.
    CampaignOptions bits = campaign(2);
    bits.out = crash;
    bits.resume = true;
    bits.shard_count = 2;
    EXPECT_EQ(run(bits), EXIT_USAGE);
}

TEST_F(FaultCampaignTest, TheRowsReadBackAndTheirReaderRefusesForgedCells) {
    CampaignOptions options = campaign(2);
    options.fault = "memory node=M2 target=Reg";
    ASSERT_EQ(run(options), EXIT_DONE);
    CampaignCsv csv;
    std::string why;
    ASSERT_TRUE(read_campaign_csv(options.out, &csv, &why)) << why;
    ASSERT_EQ(csv.rows.size(), 2u);
    EXPECT_EQ(campaign_fault_text(csv.head.parameters), options.fault);
    CampaignOptions read;
    ASSERT_TRUE(parse_campaign_parameters(csv.head.parameters, &read, &why)) << why;
    EXPECT_EQ(read.target, TARGET_CNI) << "the campaign's own target, not the fault's";
    EXPECT_EQ(read.fault, options.fault);
    const std::string head = campaign_csv_text(csv.head, {});
    const std::string row = csv.rows.begin()->second;
    const size_t fault_at = row.rfind(',') + 1;
    const size_t step_at = row.find(',', row.find(',') + 1);
    const std::string forgeries[] = {
        row.substr(0, fault_at) + "memory node=X",                    // no fault
        row + ",1",                                                   // a column more
        row.substr(0, row.find(',') + 1) + row.substr(step_at),       // a step without its time
        row.substr(0, fault_at - 1) + "," + row.substr(fault_at - 1), // an empty column before the fault
    };
    for (const std::string& forged : forgeries) {
        CampaignCsv wrong;
        EXPECT_FALSE(parse_campaign_csv(head + forged + "\n", "forged.csv", &wrong, &why)) << forged;
        EXPECT_EQ(why.rfind("forged.csv:4: ", 0), 0u) << why;
    }
}

} // namespace

namespace {

/// The scan of the frames of two slots in the steady state.
CampaignOptions frame_scan(CampaignOptions options) {
    options.exhaustive = true;
    options.space = FaultSpace::FRAMES;
    options.window_from_us = 200000;
    options.window_to_us = 200600;
    return options;
}

} // namespace

TEST_F(FaultCampaignTest, AScanOfTheFramesGivesTheSameRowsWithBothEnginesAndMergedShards) {
    const CampaignOptions options = frame_scan(campaign(0));
    const std::string reference = rows_of(options, Engine::RERUN);
    EXPECT_EQ(rows_of(options, Engine::CHECKPOINT), reference);
    EXPECT_EQ(merged_shards(options), reference);
    CampaignCsv csv;
    std::string why;
    ASSERT_TRUE(parse_campaign_csv(reference, "frames.csv", &csv, &why)) << why;
    EXPECT_NE(csv.head.parameters.find("space=frames"), std::string::npos) << csv.head.parameters;
    CampaignOptions read_back;
    ASSERT_TRUE(parse_campaign_parameters(csv.head.parameters, &read_back, &why)) << why;
    EXPECT_TRUE(read_back.exhaustive && read_back.space == FaultSpace::FRAMES);
    EXPECT_EQ(read_back.runs, csv.rows.size());
    EXPECT_EQ(read(path("report.txt")).find("confidence interval  "), std::string::npos);
}

TEST_F(FaultCampaignTest, AScanOfTheFramesStrikesEachSlotsFrameOnEveryChannelSetAtEveryReceiverSet) {
    CampaignOptions options = frame_scan(campaign(0));
    ASSERT_EQ(run(options), EXIT_DONE);
    CampaignCsv csv;
    std::string why;
    ASSERT_TRUE(read_campaign_csv(options.out, &csv, &why)) << why;
    // Slots by the time their faults were added: 3 channel sets x 2 effects x 7 receiver sets each.
    std::map<std::string, std::vector<std::vector<std::string>>> slots;
    for (const auto& [k, row] : csv.rows) {
        const std::vector<std::string> cells = campaign_csv_cells(row);
        slots[cells[CAMPAIGN_CSV_TIME_COLUMN]].push_back(cells);
    }
    ASSERT_EQ(slots.size(), 2u);
    std::set<NodeSet> senders;
    for (const auto& [added, rows] : slots) {
        ASSERT_EQ(rows.size(), 42u) << added;
        std::set<std::string> faults;
        NodeSet receivers = 0;
        for (const auto& cells : rows) {
            FaultSpec fault;
            ASSERT_TRUE(parse_fault(cells[DESCRIBED_CSV_FAULT_COLUMN], &fault, &why)) << why;
            EXPECT_TRUE(faults.insert(cells[DESCRIBED_CSV_FAULT_COLUMN]).second) << "each fault once";
            receivers |= fault.receivers;
            // The other channel carries the frame: a fault of one channel is masked, never without effect.
            if (fault.channels != CHANNEL_SET_BOTH) {
                EXPECT_EQ(cells[CAMPAIGN_CSV_CLASS_COLUMN], "masked") << cells[DESCRIBED_CSV_FAULT_COLUMN];
            }
        }
        ASSERT_EQ(std::popcount(receivers), 3) << "the asymmetric faults name each receiver";
        const auto sender = static_cast<NodeSet>(ALL_NODES & ~receivers);
        senders.insert(sender);
        // No receiver hears the slot's frame: its sender leaves the membership.
        for (const auto& cells : rows) {
            if (cells[DESCRIBED_CSV_FAULT_COLUMN] == "lose channel=both") {
                NodeSet left = 0;
                ASSERT_TRUE(parse_node_set(cells[DESCRIBED_CSV_LEFT_COLUMN], &left));
                EXPECT_NE(left & sender, 0) << "the sender of the slot struck left: " << added;
            }
        }
    }
    EXPECT_EQ(senders.size(), 2u) << "two slots, two senders";
}

TEST_F(FaultCampaignTest, SeveralFaultsHappenTogetherInEveryExperiment) {
    const std::string babbling = "babbling node=O1 channel=both duration_us=5000";
    const std::string together =
        "guardian-open node=O1 duration_us=20000; " + babbling + "; lose channel=B at_us=150000";
    CampaignOptions options = campaign(4);
    options.fault = together;
    const std::string reference = rows_of(options, Engine::RERUN);
    EXPECT_EQ(rows_of(options, Engine::CHECKPOINT), reference);
    EXPECT_EQ(merged_shards(options), reference);
    CampaignCsv csv;
    std::string why;
    ASSERT_TRUE(parse_campaign_csv(reference, "together.csv", &csv, &why)) << why;
    EXPECT_EQ(campaign_fault_text(csv.head.parameters), together);
    bool spread = false;
    for (const auto& [k, row] : csv.rows) {
        const std::vector<std::string> cells = campaign_csv_cells(row);
        const std::vector<std::string> faults = split_faults(cells[DESCRIBED_CSV_FAULT_COLUMN]);
        ASSERT_EQ(faults.size(), 3u) << row;
        std::vector<FaultSpec> made(3);
        for (size_t i = 0; i < 3; ++i) {
            ASSERT_TRUE(parse_fault(faults[i], &made[i], &why)) << why;
        }
        // In the order they happen: the untimed two at the experiment's moment, in the text's order, the
        // timed one at its time.
        std::vector<double> times;
        std::vector<FaultKind> untimed;
        for (const FaultSpec& f : made) {
            times.push_back(f.trigger.at_us);
            if (f.kind != FaultKind::LOSE) {
                untimed.push_back(f.kind);
            } else {
                EXPECT_EQ(f.trigger.at_us, 150000.0);
            }
        }
        EXPECT_TRUE(std::is_sorted(times.begin(), times.end())) << row;
        EXPECT_EQ(untimed, (std::vector<FaultKind>{FaultKind::GUARDIAN_OPEN, FaultKind::BABBLING}));
        EXPECT_EQ(cells[4], "O1") << "the nodes the faults strike";
        spread = spread || cells[DESCRIBED_CSV_SPREAD_COLUMN] == "yes";
    }
    // The open guardian lets the babbling through to the others; alone, babbling stays in O1.
    EXPECT_TRUE(spread);
    options.fault = babbling;
    ASSERT_EQ(run(options), EXIT_DONE);
    ASSERT_TRUE(read_campaign_csv(options.out, &csv, &why)) << why;
    for (const auto& [k, row] : csv.rows) {
        EXPECT_EQ(campaign_csv_cells(row)[DESCRIBED_CSV_SPREAD_COLUMN], "no") << row;
    }

    // Injected in the order of their points, whatever the text's order.
    ExperimentPlan plan;
    std::vector<FaultTemplate> faults;
    ASSERT_TRUE(parse_fault_templates("lose channel=B at_us=100000; " + babbling, FROM_US, TO_US, HORIZON_US,
                                      &faults, &why))
        << why;
    options = campaign(1);
    for (uint32_t k = 0; k < 10; ++k) {
        ASSERT_TRUE(described_plan(options, faults, k, &plan, &why)) << why;
        ASSERT_EQ(plan.faults.size(), 2u);
        EXPECT_LE(plan.faults[0].time_us, plan.faults[1].time_us);
        EXPECT_EQ(plan.faults[0].fault.kind, FaultKind::LOSE);
    }
}
