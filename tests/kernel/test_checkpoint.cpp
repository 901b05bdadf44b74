// Checkpoints of the kernel's objects: put back, every record and the sequencing set are as kept and the
// objects made since are freed; a model that disposed of an object since, or holds a record that cannot be
// copied, is refused and left as it is.
#include "kernel/sim_checkpoint.h"

#include "kernel_fixture.h"

#include <memory>
#include <vector>

namespace {

struct Counter : SimProcess {
    uint32_t ticks;
    std::vector<double> times; // grows at every tick: its buffer moves
};

enum : uint32_t { COUNTER_START = SIM_START, COUNTER_TICK };

void counter_body(SimProcess* process) {
    auto* c = static_cast<Counter*>(process);
    c->ticks += 1;
    c->times.push_back(sim_time());
    hold(1.0 + c->ticks % 3, COUNTER_TICK);
}

struct Unique : SimObject {
    std::unique_ptr<int> owned;
};

class CheckpointTest : public KernelTest {
  protected:
    Counter* Make(const char* name, double at) {
        auto* c = sim_new<Counter>();
        inic_process(c, counter_body);
        c->name = name;
        reactivate_at(c, at);
        return c;
    }
    static void Steps(int n) {
        for (int k = 0; k < n; ++k) {
            ASSERT_TRUE(next_event());
        }
    }
};

TEST_F(CheckpointTest, PutBackTheModelRunsAsItDidAndTheObjectsMadeSinceAreGone) {
    Counter* a = Make("A", 0.0);
    Counter* b = Make("B", 0.5);
    Steps(10);
    SimCheckpoint kept;
    ASSERT_TRUE(sim_checkpoint_take(&kept));
    const uint32_t objects = memory_count();
    const uint64_t steps = step_count();
    const double time = sim_time();
    Steps(20);
    const std::vector<double> a_later = a->times;
    const std::vector<double> b_later = b->times;

    ASSERT_TRUE(sim_checkpoint_restore(kept));
    EXPECT_EQ(sim_time(), time);
    EXPECT_EQ(step_count(), steps);
    (void)Make("C", sim_time()); // made after the checkpoint, and planned first
    Steps(5);
    ASSERT_TRUE(sim_checkpoint_restore(kept));
    EXPECT_EQ(memory_count(), objects);
    EXPECT_EQ(sqs_count(), 2u) << "C is in neither the memory list nor the sequencing set";
    Steps(20);
    EXPECT_EQ(a->times, a_later);
    EXPECT_EQ(b->times, b_later);
}

TEST_F(CheckpointTest, AModelThatDisposedOfAnObjectOrCannotBeCopiedIsRefused) {
    Counter* a = Make("A", 0.0);
    auto* spare = sim_new<SimHead>();
    inic_head(spare);
    Steps(3);
    SimCheckpoint kept;
    ASSERT_TRUE(sim_checkpoint_take(&kept));
    dispose_head(spare);
    Steps(3);
    const uint32_t ticks = a->ticks;
    EXPECT_FALSE(sim_checkpoint_fits(kept));
    EXPECT_FALSE(sim_checkpoint_restore(kept));
    EXPECT_EQ(a->ticks, ticks) << "nothing was put back";

    auto* unique = sim_new<Unique>();
    inic_dyn_mem(unique);
    SimCheckpoint refused;
    EXPECT_FALSE(sim_checkpoint_take(&refused));
    EXPECT_FALSE(sim_checkpoint_held(refused));
}

} // namespace
