#include "cli/campaign_experiments.h"

#include "cli/shared_pages.h"
#include "host/cluster_run.h"
#include "kernel/random_stream.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <poll.h>
#include <random>
#include <sys/wait.h>
#include <unistd.h>

namespace {

/// How a worker or an experiment's process ends: its rows all written, or not (the parent only tells the two
/// apart).
constexpr int WORKER_DONE = 0;
constexpr int WORKER_FAILED = 1;
constexpr size_t PIPE_CHUNK = 8192;

enum class Mode {
    GOLDEN,     // the golden run: samples, steps, digests, accesses recorded
    ADVANCE,    // a worker's copy of the golden run, taken on from one injection point to the next
    EXPERIMENT, // a run with faults
};

enum class EarlyStop { NONE, CONVERGED, LATENT };

/// A plan whose bit is not watched: one of several faults, or one whose fault changes nothing.
constexpr uint32_t NO_WATCHER = UINT32_MAX;

/// One run of the engines, with what its hooks need. Its address never changes once the cluster is built:
/// the channels report delivered frames to its observer.
struct EngineRun {
    ClusterRun run;
    RunObserver observer;
    const CampaignOptions* options = nullptr;
    Mode mode = Mode::GOLDEN;
    // The golden run.
    GoldenRecord* recording = nullptr;
    bool take_digests = false;
    FaultSpaceLog log{};
    // Its digests are taken at the samples some experiment compares at: each plan's last injection point
    // (with the plan's index), in the order the run reaches them, marks its comparisons' samples as it is
    // passed.
    struct LastPoint {
        const PlannedFault* fault;
        size_t plan;
        bool only; // the plan's one fault
    };
    std::vector<LastPoint> last_points;
    size_t next_point = 0;
    std::vector<uint8_t> digest_wanted; // per sample
    // Plans of one fault whose fault vanishes: it changes nothing, or the bit is written before it is read.
    BitWatch watch{};
    std::vector<uint32_t> watchers; // per plan: its watcher in `watch`, or NO_WATCHER
    std::vector<uint8_t> vanishing; // per plan: 1 when its fault vanishes
    // A worker's golden run: the samples it has taken, checked against the golden record.
    const GoldenRecord* golden = nullptr;
    size_t samples_taken = 0;
    bool diverged = false;
    // An experiment.
    const ExperimentPlan* plan = nullptr;
    size_t next_fault = 0;
    std::string refused; // why a fault could not be injected
    bool early_stop = false;
    size_t next_compare = SIZE_MAX; // sample index of the next comparison with the golden run
    size_t compare_gap = 1;
    EarlyStop stopped = EarlyStop::NONE;
};

FaultInjector* injector(EngineRun* e) {
    return e->run.cluster.fault_injector;
}

bool fault_due(const PlannedFault& fault) {
    return fault.step != 0 ? step_count() + 1 == fault.step : fault.time_us < next_event_time();
}

/// A plan of one bit of the campaign's node, whose fault may vanish or stay latent (a described fault does
/// neither).
bool one_bit(const ExperimentPlan& plan) {
    return plan.faults.size() == 1 && !plan.faults.front().described;
}

/// The sample of the comparison after one at sample `i`, and the gap after that: the first comparison is
/// followed by one at the next sample, then by ones at the next multiple of 2, 4, 8, ... samples, so that the
/// comparisons of all experiments fall on few samples beyond the window (the golden run digests those only).
size_t next_comparison(size_t i, size_t* gap) {
    const size_t next = (i / *gap + 1) * *gap;
    *gap *= 2;
    return next;
}

/// Injects every fault of the plan due at this point; after the last one, comparisons start at the next
/// sample.
void inject_due(EngineRun* e) {
    const std::vector<PlannedFault>& faults = e->plan->faults;
    while (e->next_fault < faults.size() && fault_due(faults[e->next_fault])) {
        const PlannedFault& f = faults[e->next_fault];
        if (f.described) {
            (void)run_add_fault(&e->run, f.fault); // its rows reach the record through on_injection
        } else if (!inject_bit(injector(e), f.word, f.bit, e->options->effect, SOURCE_NOW)) {
            e->refused = "word " + std::to_string(f.word) + " bit " + std::to_string(f.bit) +
                         " is not a bit a fault may hit in this target";
            stop_run(&e->run, RunEnd::STOPPED, e->refused);
            return;
        }
        e->next_fault += 1;
        if (e->next_fault == faults.size()) {
            e->next_compare = e->observer.record.first_sample + e->observer.record.samples.size();
        }
    }
}

StateDigest state_digest(EngineRun* e, const void* watched, StateHash* hash) {
    state_hash_start(hash, watched);
    run_state(e->run, hash);
    return state_hash_finish(hash);
}

const uint32_t* area_words(EngineRun* e) {
    return injector(e)->areas[FAULT_ENABLED_AREA];
}

/// At a comparison's sample: the experiment has converged, or it differs from the golden run only in the one
/// word it injected into, in bits whose difference goes nowhere else until the horizon.
void compare_with_golden(EngineRun* e, size_t i) {
    const GoldenRecord& g = *e->golden;
    if (i >= g.digests.size()) {
        return;
    }
    const bool one_fault = one_bit(*e->plan);
    const uint32_t word = one_fault ? e->plan->faults[0].word : 0;
    const bool watch = one_fault && word < g.area_words;
    StateHash hash;
    const StateDigest digest = state_digest(e, watch ? &area_words(e)[word] : nullptr, &hash);
    if (digest == g.digests[i]) {
        e->stopped = EarlyStop::CONVERGED;
    } else if (watch) {
        // The golden run's word: kept for counters; otherwise the injected bit is the one difference looked
        // for.
        const uint32_t present = area_words(e)[word];
        const auto carried = std::lower_bound(g.carry_words.begin(), g.carry_words.end(), word);
        const uint32_t golden_value =
            carried != g.carry_words.end() && *carried == word
                ? g.carry_values[i * g.carry_words.size() +
                                 static_cast<size_t>(carried - g.carry_words.begin())]
                : present ^ (1u << e->plan->faults[0].bit);
        const uint32_t difference = present ^ golden_value;
        StateDigest replaced;
        if (difference != 0 && state_digest_replaced(hash, digest, golden_value, &replaced) &&
            replaced == g.digests[i] &&
            difference_stays(g.last_use, g.carry_field, injector(e)->mask, word, difference, g.steps[i])) {
            e->stopped = EarlyStop::LATENT;
        }
    }
    if (e->stopped != EarlyStop::NONE) {
        stop_run(&e->run, RunEnd::STOPPED, "");
    }
}

void on_sample(EngineRun* e) {
    const Sample sample = take_sample(e->run.cluster, &e->observer);
    switch (e->mode) {
    case Mode::GOLDEN: {
        const size_t i = e->observer.record.samples.size();
        e->observer.record.samples.push_back(sample);
        if (!e->take_digests) {
            e->recording->steps.push_back(step_count());
        } else if (i < e->digest_wanted.size() && e->digest_wanted[i] != 0) {
            GoldenRecord& g = *e->recording;
            StateHash hash;
            g.digests[i] = state_digest(e, nullptr, &hash);
            for (size_t c = 0; c < g.carry_words.size(); ++c) {
                g.carry_values[i * g.carry_words.size() + c] = area_words(e)[g.carry_words[c]];
            }
        }
        break;
    }
    case Mode::ADVANCE:
        // The worker's copy must repeat the golden run: a difference would make every row wrong.
        e->diverged = e->diverged || e->samples_taken >= e->golden->record.samples.size() ||
                      !e->golden->record.samples[e->samples_taken].same(sample);
        e->samples_taken += 1;
        break;
    case Mode::EXPERIMENT: {
        e->observer.record.samples.push_back(sample);
        const size_t i = e->observer.record.first_sample + e->observer.record.samples.size() - 1;
        if (e->early_stop && i == e->next_compare) {
            e->next_compare = next_comparison(i, &e->compare_gap);
            compare_with_golden(e, i);
        }
        break;
    }
    }
}

/// Marks the samples of the comparisons of every plan whose last injection is due at this point of the golden
/// run: the experiment compares from the next sample on (as inject_due starts it).
void mark_comparisons(EngineRun* e) {
    while (e->next_point < e->last_points.size() && fault_due(*e->last_points[e->next_point].fault)) {
        const auto [fault, plan, only] = e->last_points[e->next_point];
        size_t gap = 1;
        for (size_t i = e->observer.record.samples.size(); i < e->digest_wanted.size();
             i = next_comparison(i, &gap)) {
            e->digest_wanted[i] = 1;
        }
        if (only) {
            // One fault: it vanishes when it changes nothing, or when the bit is written before it is read.
            const uint32_t value = area_words(e)[fault->word];
            if (apply_fault_effect(value, 1u << fault->bit, e->options->effect) == value) {
                e->vanishing[plan] = 1;
            } else {
                e->watchers[plan] = watch_bit(&e->watch, fault->word, fault->bit);
            }
        }
        e->next_point += 1;
    }
}

/// Builds the cluster in a fresh kernel for one run of the engines, with the hooks every mode shares.
void build(EngineRun* e, const ClusterConfig& config, const CampaignOptions& options) {
    e->options = &options;
    RunSettings settings;
    settings.trace = false;
    settings.effect = options.effect;
    settings.target = options.target;
    settings.fault_node = options.node;
    RunHooks hooks;
    hooks.sample_period_us = SAMPLE_US;
    hooks.sample_until_us = options.horizon_us;
    hooks.on_sample = [e](ClusterRun&, double) { on_sample(e); };
    hooks.on_injection = [e](ClusterRun&, const InjectionRecord& r) {
        e->observer.record.injections.push_back(r);
    };
    hooks.before_step = [e](ClusterRun&) {
        if (e->mode == Mode::EXPERIMENT) {
            inject_due(e);
        } else if (e->mode == Mode::GOLDEN && e->take_digests) {
            mark_comparisons(e);
        }
    };
    start_run(&e->run, config, settings, std::move(hooks));
    observe_run(&e->observer, e->run.cluster);
}

/// The golden run to the horizon, recording into `golden`.
void golden_run(EngineRun* e, GoldenRecord* golden, bool intervals) {
    const CampaignOptions& options = *e->options;
    e->mode = Mode::GOLDEN;
    e->recording = golden;
    e->take_digests = false;
    FaultInjector* fi = injector(e);
    golden->area_words = fi->word_count;
    while (golden->area_words > 0 && fi->mask[golden->area_words - 1] == 0) {
        golden->area_words -= 1; // the message area beyond the application's messages holds no mask bits
    }
    start_fault_space_log(&e->log, fi->areas[FAULT_ENABLED_AREA], fi->mask, fi->word_count);
    access_recorder = &e->log;
    e->observer.deliveries = options.space == FaultSpace::FRAMES ? &golden->deliveries : nullptr;
    if (intervals) {
        run_until(&e->run, RunLimit{0, options.window_from_us});
        start_intervals(&e->log, options.window_from_us, options.window_to_us);
    }
    run_until(&e->run, RunLimit{0, options.horizon_us});
    if (intervals) {
        finish_intervals(&e->log, options.horizon_us);
    }
    access_recorder = nullptr;
    e->observer.deliveries = nullptr;
    finish_record(e->run, &e->observer, options.horizon_us);
    golden->record = e->observer.record;
    // Only the words with mask bits are kept; of the words seen at the samples, only the counters'.
    const size_t bits = size_t{golden->area_words} * WORD_BITS;
    golden->last_use.assign(e->log.last_use.begin(), e->log.last_use.begin() + static_cast<long>(bits));
    golden->carry_field.assign(e->log.carry_field.begin(),
                               e->log.carry_field.begin() + static_cast<long>(bits));
    for (uint32_t w = 0; w < golden->area_words; ++w) {
        if (std::any_of(golden->carry_field.begin() + w * WORD_BITS,
                        golden->carry_field.begin() + (w + 1) * WORD_BITS,
                        [](uint32_t field) { return field != 0; })) {
            golden->carry_words.push_back(w);
        }
    }
    golden->intervals = std::move(e->log.intervals);
}

/// The plan's last fault, which decides where its comparisons start.
const PlannedFault& last_fault(const ExperimentPlan& plan) {
    return plan.faults.back();
}

/// The golden run again, for the early stop: the digest of the model state, with the counters' words, at
/// every sample one of `plans` compares at (golden->digests and carry_values; zero elsewhere, which no state
/// digests to), and which plans' faults vanish (e->vanishing). Its samples are those of the first golden run.
void digest_run(EngineRun* e, GoldenRecord* golden, const std::vector<ExperimentPlan>& plans) {
    e->mode = Mode::GOLDEN;
    e->recording = golden;
    e->take_digests = true;
    e->watchers.assign(plans.size(), NO_WATCHER);
    e->vanishing.assign(plans.size(), 0);
    for (size_t k = 0; k < plans.size(); ++k) {
        if (!plans[k].faults.empty()) {
            e->last_points.push_back({&last_fault(plans[k]), k, one_bit(plans[k])});
        }
    }
    std::stable_sort(e->last_points.begin(), e->last_points.end(), [](const auto& a, const auto& b) {
        return a.fault->step != b.fault->step ? a.fault->step < b.fault->step
                                              : a.fault->time_us < b.fault->time_us;
    });
    const size_t samples = golden->record.samples.size();
    e->digest_wanted.assign(samples, 0);
    golden->digests.assign(samples, StateDigest{});
    golden->carry_values.assign(samples * golden->carry_words.size(), 0);
    FaultInjector* fi = injector(e);
    start_bit_watch(&e->watch, fi->areas[FAULT_ENABLED_AREA], fi->word_count);
    access_recorder = &e->watch;
    run_until(&e->run, RunLimit{0, e->options->horizon_us});
    access_recorder = nullptr;
    for (size_t k = 0; k < plans.size(); ++k) {
        if (e->watchers[k] < e->watch.first_access.size() &&
            e->watch.first_access[e->watchers[k]] == IntervalEnd::WRITE) {
            e->vanishing[k] = 1;
        }
    }
}

/// An experiment whose fault vanishes, at its injection point in a worker's copy of the golden run: the row
/// of the run that would follow, which is the golden run's. The fault is injected (for its record) and taken
/// back at once.
ExperimentResult vanished_experiment(EngineRun* e, const ExperimentPlan& plan) {
    const PlannedFault& f = plan.faults.front();
    FaultInjector* fi = injector(e);
    std::vector<uint32_t> kept;
    for (uint32_t* area : fi->areas) {
        kept.push_back(area[f.word]);
    }
    const uint32_t injections = fi->injections;
    e->observer.record.injections.clear();
    (void)inject_bit(fi, f.word, f.bit, e->options->effect,
                     SOURCE_NOW); // a drawn bit: always one of the mask
    for (size_t i = 0; i < kept.size(); ++i) {
        fi->areas[i][f.word] = kept[i];
    }
    fi->injections = injections;
    ExperimentResult result;
    result.experiment = plan.id;
    result.injections = std::move(e->observer.record.injections);
    e->observer.record.injections.clear();
    return result; // no effect, converged, nothing detected
}

/// An experiment from the present point of `e` (time 0 for the rerun engine, an injection point for a
/// checkpoint's child) to its end; its classed result.
ExperimentResult run_experiment_from_here(EngineRun* e, const ExperimentPlan& plan, bool early_stop) {
    const GoldenRecord& g = *e->golden;
    e->mode = Mode::EXPERIMENT;
    e->plan = &plan;
    e->next_fault = 0;
    e->early_stop = early_stop;
    e->observer.record.injections.clear();
    e->observer.record.samples.clear();
    e->observer.record.first_sample = e->samples_taken; // the golden run's up to here
    inject_due(e);
    if (e->refused.empty()) {
        run_until(&e->run, RunLimit{0, e->options->horizon_us});
    }
    RunRecord& r = e->observer.record;
    if (e->stopped == EarlyStop::NONE) {
        finish_record(e->run, &e->observer, e->options->horizon_us);
    } else {
        r.golden_rest = true;
        r.hits = g.record.hits;
        r.misses = g.record.misses;
        // A latent fault leaves the final state different in the injected word: the run's final hash is not
        // the golden run's (the word hash never maps a difference in one word to the same hash, a wider one
        // with a chance of 2^-64), so any other value stands for it.
        r.state_hash = e->stopped == EarlyStop::CONVERGED ? g.record.state_hash : ~g.record.state_hash;
    }
    return classify(plan.id, g.record, r);
}

/// An experiment by the rerun engine: built and run from time 0 to the horizon.
bool rerun_experiment(const ClusterConfig& config, const CampaignOptions& options, const GoldenRecord& golden,
                      const ExperimentPlan& plan, ExperimentResult* result, std::string* why) {
    auto e = std::make_unique<EngineRun>();
    build(e.get(), config, options);
    e->golden = &golden;
    *result = run_experiment_from_here(e.get(), plan, false);
    finish_run(&e->run);
    if (!e->refused.empty()) {
        *why = e->refused;
        return false;
    }
    return true;
}

/// Moves all `size` bytes through `io` (read or write), going on after interruptions and short transfers.
template <class Io, class Bytes>
bool transfer_all(Io io, int fd, Bytes* data, size_t size) {
    while (size > 0) {
        const ssize_t n = io(fd, data, size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool write_all(int fd, const void* data, size_t size) {
    return transfer_all(::write, fd, static_cast<const char*>(data), size);
}

bool read_all(int fd, void* data, size_t size) {
    return transfer_all(::read, fd, static_cast<char*>(data), size);
}

void write_row(int fd, const std::string& row) {
    const std::string line = row + "\n";
    if (!write_all(fd, line.data(), line.size())) {
        _exit(WORKER_FAILED);
    }
}

template <class T>
bool write_vector(int fd, const std::vector<T>& v) {
    const uint64_t n = v.size();
    return write_all(fd, &n, sizeof n) && write_all(fd, v.data(), n * sizeof(T));
}

template <class T>
bool read_vector(int fd, std::vector<T>* v) {
    uint64_t n = 0;
    if (!read_all(fd, &n, sizeof n)) {
        return false;
    }
    v->resize(n);
    return read_all(fd, v->data(), n * sizeof(T));
}

bool write_golden(int fd, const GoldenRecord& g) {
    const uint64_t finals[] = {g.record.state_hash, g.record.hits, g.record.misses};
    const uint64_t words = g.area_words;
    return write_vector(fd, g.record.samples) && write_all(fd, finals, sizeof finals) &&
           write_all(fd, &words, sizeof words) && write_vector(fd, g.digests) && write_vector(fd, g.steps) &&
           write_vector(fd, g.last_use) && write_vector(fd, g.carry_field) &&
           write_vector(fd, g.carry_words) && write_vector(fd, g.carry_values) &&
           write_vector(fd, g.intervals) && write_vector(fd, g.deliveries);
}

bool read_golden(int fd, GoldenRecord* g) {
    uint64_t finals[3];
    uint64_t words = 0;
    if (!read_vector(fd, &g->record.samples) || !read_all(fd, finals, sizeof finals) ||
        !read_all(fd, &words, sizeof words) || !read_vector(fd, &g->digests) || !read_vector(fd, &g->steps) ||
        !read_vector(fd, &g->last_use) || !read_vector(fd, &g->carry_field) ||
        !read_vector(fd, &g->carry_words) || !read_vector(fd, &g->carry_values) ||
        !read_vector(fd, &g->intervals) || !read_vector(fd, &g->deliveries)) {
        return false;
    }
    g->area_words = static_cast<uint32_t>(words);
    g->record.state_hash = finals[0];
    g->record.hits = static_cast<uint32_t>(finals[1]);
    g->record.misses = static_cast<uint32_t>(finals[2]);
    return true;
}

bool exited_cleanly(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            return false;
        }
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == WORKER_DONE;
}

/// Runs `work` in a copy of this process (from its present state), which hands its results on through a pipe
/// that `take` reads here; false when the copy or the transfer failed.
bool in_child(const std::function<bool(int fd)>& work, const std::function<bool(int fd)>& take) {
    int fds[2];
    if (pipe(fds) != 0) {
        return false;
    }
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        const bool ok = work(fds[1]);
        close(fds[1]);
        _exit(ok ? WORKER_DONE : WORKER_FAILED);
    }
    close(fds[1]);
    const bool taken = pid > 0 && take(fds[0]);
    close(fds[0]);
    return pid > 0 && exited_cleanly(pid) && taken;
}

/// Worker processes: worker w runs `work` on every jobs-th of `count` items from w and writes its rows to a
/// pipe; the rows are handed to `emit` as they arrive.
bool run_in_workers(unsigned jobs, size_t count,
                    const std::function<bool(const std::vector<size_t>&, int)>& work, const RowSink& emit,
                    std::string* why) {
    struct Worker {
        pid_t pid;
        int fd;
        std::string pending;
    };
    std::vector<Worker> workers;
    std::fflush(nullptr);
    for (unsigned w = 0; w < jobs; ++w) {
        std::vector<size_t> mine;
        for (size_t i = w; i < count; i += jobs) {
            mine.push_back(i);
        }
        int fds[2];
        if (pipe(fds) != 0) {
            *why = std::string("cannot start a worker: ") + std::strerror(errno);
            return false;
        }
        const pid_t pid = fork();
        if (pid == 0) {
            close(fds[0]);
            const bool ok = work(mine, fds[1]);
            close(fds[1]);
            _exit(ok ? WORKER_DONE : WORKER_FAILED);
        }
        close(fds[1]);
        if (pid < 0) {
            close(fds[0]);
            *why = std::string("cannot start a worker: ") + std::strerror(errno);
            return false;
        }
        workers.push_back({pid, fds[0], ""});
    }
    size_t open_pipes = workers.size();
    while (open_pipes > 0) {
        std::vector<pollfd> polls;
        for (const Worker& w : workers) {
            polls.push_back({w.fd, POLLIN, 0});
        }
        if (poll(polls.data(), polls.size(), -1) < 0 && errno != EINTR) {
            break;
        }
        for (size_t i = 0; i < workers.size(); ++i) {
            if (workers[i].fd < 0 || (polls[i].revents & (POLLIN | POLLHUP)) == 0) {
                continue;
            }
            char buffer[PIPE_CHUNK];
            const ssize_t n = read(workers[i].fd, buffer, sizeof buffer);
            if (n <= 0) {
                close(workers[i].fd);
                workers[i].fd = -1;
                open_pipes -= 1;
                continue;
            }
            workers[i].pending.append(buffer, static_cast<size_t>(n));
            size_t end;
            while ((end = workers[i].pending.find('\n')) != std::string::npos) {
                std::string row = workers[i].pending.substr(0, end);
                workers[i].pending.erase(0, end + 1);
                emit(static_cast<uint32_t>(std::stoul(row.substr(0, row.find(',')))), row);
            }
        }
    }
    bool all_ok = true;
    for (const Worker& w : workers) {
        all_ok = exited_cleanly(w.pid) && all_ok;
    }
    if (!all_ok) {
        *why = "a worker process failed; the rows it finished are kept (run again with --resume)";
    }
    return all_ok;
}

/// Where a plan's first fault is injected, for ordering the plans and taking the golden run there.
RunLimit injection_point(const ExperimentPlan& plan) {
    RunLimit limit;
    if (plan.faults.empty()) {
        return limit;
    }
    const PlannedFault& first = plan.faults.front();
    if (first.step != 0) {
        limit.steps = first.step - 1;
    } else {
        limit.until_us = first.time_us;
    }
    return limit;
}

bool earlier_point(const ExperimentPlan* a, const ExperimentPlan* b) {
    const RunLimit pa = injection_point(*a);
    const RunLimit pb = injection_point(*b);
    return pa.steps != pb.steps ? pa.steps < pb.steps : pa.until_us < pb.until_us;
}

/// Experiment k's own stream: from the campaign seed and k alone.
std::mt19937 experiment_stream(const CampaignOptions& options, uint32_t k) {
    constexpr uint32_t EXPERIMENT_SALT = 0x5eedu;
    std::seed_seq seeds{options.seed, k, EXPERIMENT_SALT};
    return std::mt19937(seeds);
}

/// A moment uniform in the window.
double experiment_moment(const CampaignOptions& options, std::mt19937* random) {
    return std::uniform_real_distribution<double>(options.window_from_us, options.window_to_us)(*random);
}

/// The tables the injector draws its bits with, for a target: kept, not a kernel object.
const FaultInjector& draw_tables(uint32_t target) {
    static const auto tables = [] {
        auto made = std::make_unique<std::array<FaultInjector, FAULT_TARGET_COUNT>>();
        set_injection_mask(&(*made)[TARGET_CNI], CNI_MASK_WORDS * sizeof(uint32_t), cni_fault_mask());
        set_injection_mask(&(*made)[TARGET_REG], REG_MASK_WORDS * sizeof(uint32_t), register_fault_mask());
        return made;
    }();
    return (*tables)[target == TARGET_REG ? TARGET_REG : TARGET_CNI];
}

} // namespace

struct CampaignExperiments {
    ClusterConfig config;
    const CampaignOptions* options = nullptr;
    bool checkpoint = false;
    std::unique_ptr<EngineRun> built; // the checkpoint engine's cluster at time 0
    std::vector<SharedPages> shared;  // its constant pages, which its forks do not copy
    GoldenRecord golden;
};

ExperimentPlan sampled_plan(const CampaignOptions& options, uint32_t k) {
    std::mt19937 random = experiment_stream(options, k);
    std::vector<double> times;
    for (uint32_t i = 0; i < options.injections; ++i) {
        times.push_back(experiment_moment(options, &random));
    }
    std::sort(times.begin(), times.end());
    // The bits: drawn as the injector draws its own, from a stream seeded for this experiment; the stream is
    // the campaign's, outside the model, so the injector's own stream stays as it is in the golden run.
    RandomStream stream{};
    seed_random(&stream, static_cast<uint32_t>(random()));
    const FaultInjector& mask_holder = draw_tables(options.target);
    ExperimentPlan plan;
    plan.id = k;
    for (double t : times) {
        PlannedFault fault;
        fault.time_us = t;
        (void)draw_fault_bit(&mask_holder, &stream, &fault.word, &fault.bit); // both masks have bits
        plan.faults.push_back(fault);
    }
    return plan;
}

bool described_plan(const CampaignOptions& options, const std::vector<FaultTemplate>& faults, uint32_t k,
                    ExperimentPlan* plan, std::string* why) {
    std::mt19937 random = experiment_stream(options, k);
    const double moment = experiment_moment(options, &random);
    *plan = ExperimentPlan{k, {}};
    for (const FaultTemplate& fault : faults) {
        DrawnFault drawn;
        if (!draw_fault(fault, moment, &random, &drawn, why)) {
            *why = "experiment " + std::to_string(k) + ": " + *why;
            return false;
        }
        PlannedFault planned;
        planned.time_us = drawn.added_us;
        planned.described = true;
        planned.fault = std::move(drawn.fault);
        plan->faults.push_back(std::move(planned));
    }
    // In the order of their points, as the engines inject them; faults added at one time in the text's order.
    std::stable_sort(plan->faults.begin(), plan->faults.end(),
                     [](const PlannedFault& a, const PlannedFault& b) { return a.time_us < b.time_us; });
    return true;
}

uint32_t sampled_fault_bits(uint32_t target) {
    return draw_tables(target).total_bits;
}

CampaignExperiments* start_experiments(ClusterConfig config, const CampaignOptions& options, bool intervals,
                                       std::string* why) {
    auto experiments = std::make_unique<CampaignExperiments>();
    experiments->config = std::move(config);
    experiments->options = &options;
    experiments->checkpoint = options.engine == Engine::CHECKPOINT;
    if (!experiments->checkpoint) {
        auto golden = std::make_unique<EngineRun>();
        build(golden.get(), experiments->config, options);
        golden_run(golden.get(), &experiments->golden, intervals);
        finish_run(&golden->run);
        return experiments.release();
    }
    // The cluster is built here, once: the golden run's child and every worker go on from this copy.
    experiments->built = std::make_unique<EngineRun>();
    EngineRun* e = experiments->built.get();
    build(e, experiments->config, options);
    // Every run of this engine goes on from this build: the lists as read are not needed again, and the
    // smaller the process, the cheaper each fork.
    for (NodeConfig& node : experiments->config.nodes) {
        node.medl.reset();
        node.lines = {};
    }
    for (TtpController* c : e->run.cluster.controllers) {
        SharedPages pages;
        if (share_pages(&c->medl, sizeof c->medl, &pages)) { // else the forks copy them, as before
            experiments->shared.push_back(pages);
        }
    }
    const bool ran = in_child(
        [e, intervals](int fd) {
            GoldenRecord golden;
            golden_run(e, &golden, intervals);
            return write_golden(fd, golden);
        },
        [&experiments](int fd) { return read_golden(fd, &experiments->golden); });
    if (!ran) {
        *why = "the golden run's process failed";
        finish_experiments(experiments.release());
        return nullptr;
    }
    return experiments.release();
}

const GoldenRecord& golden_record(const CampaignExperiments* experiments) {
    return experiments->golden;
}

bool run_planned_experiments(CampaignExperiments* experiments, const std::vector<ExperimentPlan>& plans,
                             const RowFormat& format, const RowSink& emit, std::string* why) {
    const ClusterConfig& config = experiments->config;
    const CampaignOptions& options = *experiments->options;
    const GoldenRecord& golden = experiments->golden;
    if (!experiments->checkpoint) {
        const auto rerun = [&](const std::vector<size_t>& mine,
                               const std::function<void(uint32_t, const std::string&)>& out,
                               std::string* reason) {
            for (size_t i : mine) {
                ExperimentResult result;
                if (!rerun_experiment(config, options, golden, plans[i], &result, reason)) {
                    return false;
                }
                out(plans[i].id, format(plans[i], result));
            }
            return true;
        };
        if (options.jobs <= 1) {
            std::vector<size_t> all(plans.size());
            for (size_t i = 0; i < all.size(); ++i) {
                all[i] = i;
            }
            return rerun(all, emit, why);
        }
        return run_in_workers(
            options.jobs, plans.size(),
            [&](const std::vector<size_t>& mine, int fd) {
                std::string reason;
                const bool ok = rerun(
                    mine, [fd](uint32_t, const std::string& row) { write_row(fd, row); }, &reason);
                if (!ok) {
                    std::fprintf(stderr, "pelorin-sim: %s\n", reason.c_str());
                }
                return ok;
            },
            emit, why);
    }
    EngineRun* e = experiments->built.get();
    GoldenRecord& digested = experiments->golden;
    std::vector<uint8_t> vanishing(plans.size(), 0);
    if (options.early_stop && !in_child(
                                  [e, &digested, &plans](int fd) {
                                      digest_run(e, &digested, plans);
                                      return write_vector(fd, digested.digests) &&
                                             write_vector(fd, digested.carry_values) &&
                                             write_vector(fd, e->vanishing);
                                  },
                                  [&digested, &vanishing](int fd) {
                                      return read_vector(fd, &digested.digests) &&
                                             read_vector(fd, &digested.carry_values) &&
                                             read_vector(fd, &vanishing);
                                  })) {
        *why = "the golden run's process failed";
        return false;
    }
    return run_in_workers(
        std::max(1u, options.jobs), plans.size(),
        [&](const std::vector<size_t>& mine, int fd) {
            std::vector<const ExperimentPlan*> order;
            for (size_t i : mine) {
                order.push_back(&plans[i]);
            }
            std::stable_sort(order.begin(), order.end(), earlier_point);
            e->mode = Mode::ADVANCE;
            e->golden = &golden;
            for (const ExperimentPlan* plan : order) {
                const RunEnd end = run_until(&e->run, injection_point(*plan));
                if (end != RunEnd::COMPLETED || e->diverged) {
                    std::fprintf(stderr, "pelorin-sim: %s\n",
                                 e->diverged ? "a worker's golden run left the golden run"
                                             : ("the golden run ended before an injection: " +
                                                e->run.message + " (--engine rerun runs such experiments)")
                                                   .c_str());
                    return false;
                }
                if (vanishing[static_cast<size_t>(plan - plans.data())] != 0) {
                    write_row(fd, format(*plan, vanished_experiment(e, *plan)));
                    continue;
                }
                std::fflush(nullptr);
                const pid_t pid = fork();
                if (pid == 0) {
                    const ExperimentResult result = run_experiment_from_here(e, *plan, options.early_stop);
                    if (!e->refused.empty()) {
                        std::fprintf(stderr, "pelorin-sim: %s\n", e->refused.c_str());
                        _exit(WORKER_FAILED);
                    }
                    write_row(fd, format(*plan, result));
                    _exit(WORKER_DONE);
                }
                if (pid < 0 || !exited_cleanly(pid)) {
                    return false;
                }
            }
            return true;
        },
        emit, why);
}

void finish_experiments(CampaignExperiments* experiments) {
    if (experiments != nullptr && experiments->built != nullptr) {
        for (SharedPages& pages : experiments->shared) {
            unshare_pages(&pages);
        }
        finish_run(&experiments->built->run);
    }
    delete experiments;
}

bool run_single_experiment(const CampaignOptions& options, const ExperimentPlan& plan,
                           ExperimentResult* result, std::string* why) {
    ClusterConfig config;
    if (read_cluster_config(options.directory, options.overrides, &config, why) != ASSEMBLY_OK) {
        return false;
    }
    CampaignOptions rerun = options;
    rerun.engine = Engine::RERUN;
    CampaignExperiments* experiments = start_experiments(std::move(config), rerun, false, why);
    const bool ok = rerun_experiment(experiments->config, rerun, experiments->golden, plan, result, why);
    finish_experiments(experiments);
    return ok;
}
