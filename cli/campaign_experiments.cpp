#include "cli/campaign_experiments.h"

#include "cli/campaign_csv.h"
#include "host/cluster_run.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <poll.h>
#include <random>
#include <sys/wait.h>
#include <unistd.h>

namespace {

/// One slot: the sampling period of both runs.
constexpr double SAMPLE_US = 250.0;
constexpr uint64_t FNV_OFFSET = 0xcbf29ce484222325ull;
constexpr uint64_t FNV_PRIME = 0x100000001b3ull;
/// How a worker process ends: its rows all written, or not (the parent only tells the two apart).
constexpr int WORKER_DONE = 0;
constexpr int WORKER_FAILED = 1;

/// What a run shows from outside at one sample time.
struct Sample {
    uint8_t state[NODE_COUNT];
    uint8_t membership[NODE_COUNT]; // positions 0-3 as bits
    uint64_t frames;                // hash of the frames delivered since the previous sample
    uint32_t hits;
    uint32_t misses;

    bool same_nodes(const Sample& other) const {
        return std::equal(std::begin(state), std::end(state), std::begin(other.state)) &&
               std::equal(std::begin(membership), std::end(membership), std::begin(other.membership));
    }
    bool same(const Sample& other) const {
        return same_nodes(other) && frames == other.frames && hits == other.hits && misses == other.misses;
    }
};

/// One run to the horizon: its samples, the hash of the whole controller state at the end, its injections
/// and the laser's counts.
struct RunRecord {
    std::vector<Sample> samples;
    uint64_t state_hash = 0;
    std::vector<InjectionRecord> injections;
    uint32_t hits = 0;
    uint32_t misses = 0;
};

uint64_t fnv(uint64_t hash, const void* bytes, size_t size) {
    const auto* p = static_cast<const unsigned char*>(bytes);
    for (size_t i = 0; i < size; ++i) {
        hash = (hash ^ p[i]) * FNV_PRIME;
    }
    return hash;
}

void observe_frame(void* context, const TtpChannel*, const Frame& frame) {
    auto* hash = static_cast<uint64_t*>(context);
    *hash = fnv(*hash, &frame, sizeof frame);
}

Sample take_sample(const Cluster& cluster, uint64_t* frames) {
    Sample s{};
    for (unsigned n = 0; n < NODE_COUNT; ++n) {
        // The protocol's own view (the working status), not the published copy in the interface, where a
        // flipped bit lives only until the next publication without the protocol ever acting on it.
        const CniStatus& status = cluster.controllers[n]->working_status;
        s.state[n] = static_cast<uint8_t>(get_protocol_state(status));
        for (unsigned p = 0; p < NODE_COUNT; ++p) {
            s.membership[n] |= static_cast<uint8_t>(get_membership(status.cstate, p) << p);
        }
    }
    s.frames = *frames;
    *frames = FNV_OFFSET;
    s.hits = cluster.laser->hits;
    s.misses = cluster.laser->misses;
    return s;
}

uint64_t controller_state_hash(const Cluster& cluster) {
    uint64_t hash = FNV_OFFSET;
    for (const TtpController* c : cluster.controllers) {
        hash = fnv(hash, &c->cni, sizeof c->cni);
        hash = fnv(hash, &c->working_status, sizeof c->working_status);
        hash = fnv(hash, &c->frame_buffer[0], CONTROLLER_REGISTER_BYTES);
    }
    return hash;
}

/// A fault given by word and bit instead of drawn.
struct GivenFault {
    uint32_t word;
    uint32_t bit;
};

/// One run to the horizon, injecting (with the injector's own draw, seeded by injection_seed, or the given
/// fault) right after the last event at or before each of `times`. False with a reason when a given fault
/// is not a bit a fault may hit.
bool run_once(const ClusterConfig& config, const CampaignOptions& options, const std::vector<double>& times,
              uint32_t injection_seed, RunRecord* record, std::string* why,
              const GivenFault* given = nullptr) {
    RunSettings settings;
    settings.trace = false;
    settings.seed = injection_seed;
    settings.effect = options.effect;
    settings.target = options.target;
    uint64_t frames = FNV_OFFSET;
    size_t next_injection = 0;
    bool fault_refused = false;
    RunHooks hooks;
    hooks.sample_period_us = SAMPLE_US;
    hooks.sample_until_us = options.horizon_us;
    hooks.on_sample = [&](ClusterRun& run, double) {
        record->samples.push_back(take_sample(run.cluster, &frames));
    };
    hooks.on_injection = [&](ClusterRun&, const InjectionRecord& r) { record->injections.push_back(r); };
    hooks.before_step = [&](ClusterRun& run) {
        const SimProcess* next = calendar()->suc_in_sqs;
        const double t_next = next != nullptr ? next->evtime : INFINITY;
        for (; next_injection < times.size() && times[next_injection] < t_next; ++next_injection) {
            FaultInjector* fi = run.cluster.fault_injector;
            if (given == nullptr) {
                inject(fi);
            } else if (!inject_bit(fi, given->word, given->bit, options.effect, SOURCE_NOW)) {
                fault_refused = true;
                stop_run(&run, RunEnd::STOPPED,
                         "word " + std::to_string(given->word) + " bit " + std::to_string(given->bit) +
                             " is not a bit a fault may hit in this target");
                return;
            }
        }
    };
    ClusterRun run;
    start_run(&run, config, settings, std::move(hooks));
    for (TtpChannel* channel : run.cluster.channels) {
        channel->delivery_observer = observe_frame;
        channel->observer_context = &frames;
    }
    run_until(&run, RunLimit{0, options.horizon_us});
    if (fault_refused) {
        *why = run.message;
        finish_run(&run);
        return false;
    }
    // A run whose time stopped advancing (the driver ended it) shows as frozen for the samples left out, so
    // it is classed as not healed.
    for (; run.next_sample_us <= options.horizon_us; run.next_sample_us += SAMPLE_US) {
        Sample frozen = take_sample(run.cluster, &frames);
        std::fill(std::begin(frozen.state), std::end(frozen.state), 0);
        record->samples.push_back(frozen);
    }
    record->state_hash = controller_state_hash(run.cluster);
    record->hits = run.cluster.laser->hits;
    record->misses = run.cluster.laser->misses;
    finish_run(&run);
    return true;
}

ExperimentResult classify(uint32_t experiment, const RunRecord& golden, const RunRecord& run) {
    ExperimentResult result;
    result.experiment = experiment;
    result.injections = run.injections;
    const double injected_at = run.injections.empty() ? 0.0 : run.injections.front().time;
    const size_t count = std::min(golden.samples.size(), run.samples.size());
    bool any_difference = run.state_hash != golden.state_hash || golden.samples.size() != run.samples.size();
    long first_degraded = -1;
    long last_degraded = -1;
    for (size_t i = 0; i < count; ++i) {
        const Sample& g = golden.samples[i];
        const Sample& r = run.samples[i];
        any_difference = any_difference || !r.same(g);
        if (!r.same_nodes(g)) {
            last_degraded = static_cast<long>(i);
            if (first_degraded < 0) {
                first_degraded = static_cast<long>(i);
            }
        }
    }
    result.converged = run.state_hash == golden.state_hash;
    const bool healed_at_end = count > 0 && last_degraded != static_cast<long>(count) - 1;
    const auto sample_time = [](long i) { return static_cast<double>(i + 1) * SAMPLE_US; };
    if (first_degraded >= 0) {
        result.detection_us = std::max(0.0, sample_time(first_degraded) - injected_at);
        if (healed_at_end) {
            result.heal_us = std::max(0.0, sample_time(last_degraded + 1) - injected_at);
        }
    }
    if (!healed_at_end) {
        result.outcome = Outcome::NOT_HEALED;
    } else if (run.hits < golden.hits || run.misses > golden.misses) {
        result.outcome = Outcome::APPLICATION_FAILURE;
    } else if (first_degraded >= 0) {
        result.outcome = Outcome::DETECTED_HEALED;
    } else if (any_difference) {
        result.outcome = Outcome::MASKED;
    } else {
        result.outcome = Outcome::NO_EFFECT;
    }
    return result;
}

/// Experiment k's injection moments and the seed of its bit draws: from the campaign seed and k alone.
std::vector<double> experiment_times(const CampaignOptions& options, uint32_t k, uint32_t* injection_seed) {
    std::seed_seq seeds{options.seed, k, 0x5eedu};
    std::mt19937 random(seeds);
    std::uniform_real_distribution<double> moment(options.window_from_us, options.window_to_us);
    std::vector<double> times;
    for (uint32_t i = 0; i < options.injections; ++i) {
        times.push_back(moment(random));
    }
    std::sort(times.begin(), times.end());
    *injection_seed = static_cast<uint32_t>(random());
    return times;
}

/// Runs the given experiments in this process, handing each finished row to `emit`.
bool run_here(const ClusterConfig& config, const CampaignOptions& options, const RunRecord& golden,
              const std::vector<uint32_t>& ids, const RowSink& emit, std::string* why) {
    for (uint32_t k : ids) {
        uint32_t injection_seed = 0;
        std::vector<double> times = experiment_times(options, k, &injection_seed);
        RunRecord run;
        if (!run_once(config, options, times, injection_seed, &run, why)) {
            return false;
        }
        emit(k, campaign_csv_row(classify(k, golden, run)));
    }
    return true;
}

/// Worker processes: each runs every jobs-th experiment and writes its rows to a pipe; the rows are handed
/// to `emit` as they arrive.
bool run_in_workers(const ClusterConfig& config, const CampaignOptions& options, const RunRecord& golden,
                    const std::vector<uint32_t>& ids, const RowSink& emit, std::string* why) {
    struct Worker {
        pid_t pid;
        int fd;
        std::string pending;
    };
    std::vector<Worker> workers;
    std::fflush(nullptr);
    for (unsigned w = 0; w < options.jobs; ++w) {
        std::vector<uint32_t> mine;
        for (size_t i = w; i < ids.size(); i += options.jobs) {
            mine.push_back(ids[i]);
        }
        int fds[2];
        if (pipe(fds) != 0) {
            *why = std::string("cannot start a worker: ") + std::strerror(errno);
            return false;
        }
        const pid_t pid = fork();
        if (pid == 0) {
            close(fds[0]);
            std::string reason;
            const bool ok = run_here(
                config, options, golden, mine,
                [&](uint32_t, const std::string& row) {
                    std::string line = row + "\n";
                    size_t done = 0;
                    while (done < line.size()) {
                        ssize_t n = write(fds[1], line.data() + done, line.size() - done);
                        if (n <= 0) {
                            _exit(WORKER_FAILED);
                        }
                        done += static_cast<size_t>(n);
                    }
                },
                &reason);
            if (!ok) {
                std::fprintf(stderr, "pelorin-sim: %s\n", reason.c_str());
            }
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
            char buffer[8192];
            ssize_t n = read(workers[i].fd, buffer, sizeof buffer);
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
        int status = 0;
        waitpid(w.pid, &status, 0);
        all_ok = all_ok && WIFEXITED(status) && WEXITSTATUS(status) == WORKER_DONE;
    }
    if (!all_ok) {
        *why = "a worker process failed; the rows it finished are kept (run again with --resume)";
    }
    return all_ok;
}

} // namespace

bool run_experiments(const ClusterConfig& config, const CampaignOptions& options,
                     const std::vector<uint32_t>& ids, const RowSink& emit, std::string* why) {
    RunRecord golden;
    (void)run_once(config, options, {}, 0, &golden, why); // only a given fault can be refused
    return options.jobs <= 1 ? run_here(config, options, golden, ids, emit, why)
                             : run_in_workers(config, options, golden, ids, emit, why);
}

bool experiment_with(const CampaignOptions& options, double time_us, uint32_t word, uint32_t bit,
                     ExperimentResult* result, std::string* why) {
    ClusterConfig config;
    if (read_cluster_config(options.directory, options.overrides, &config, why) != ASSEMBLY_OK) {
        return false;
    }
    RunRecord golden;
    RunRecord run;
    const GivenFault fault{word, bit};
    if (!run_once(config, options, {}, 0, &golden, why) ||
        !run_once(config, options, {time_us}, 0, &run, why, &fault)) {
        return false;
    }
    *result = classify(0, golden, run);
    return true;
}
