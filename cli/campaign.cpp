#include "cli/campaign.h"

#include "host/cluster.h"
#include "host/injection_log.h"
#include "kernel/trace.h"
#include "ttpc/fp1chan.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <poll.h>
#include <random>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

const char* const CAMPAIGN_CSV_HEADER =
    "experiment,time_us,step,target,controller,word,field,bit,effect,before,after,"
    "injections,class,converged,detection_us,heal_us";

namespace {

constexpr double SAMPLE_US = 250.0; // one slot
constexpr uint64_t FNV_OFFSET = 0xcbf29ce484222325ull;
constexpr uint64_t FNV_PRIME = 0x100000001b3ull;
constexpr unsigned CSV_COLUMNS = 16;
constexpr uint64_t STUCK_STEPS = 1000000;
constexpr double Z_95 = 1.959963984540054;
constexpr const char* OUTCOME_NAMES[] = {"no-effect", "masked", "detected-healed", "application-failure",
                                         "not-healed"};
constexpr const char* OUTCOME_COLOURS[] = {"#9e9e9e", "#4caf50", "#2196f3", "#ff9800", "#f44336"};
constexpr unsigned OUTCOMES = static_cast<unsigned>(Outcome::COUNT);

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

void collect_injection(void* context, const InjectionRecord& record) {
    static_cast<std::vector<InjectionRecord>*>(context)->push_back(record);
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

/// One run to the horizon, injecting (with the injector's own draw, seeded by injection_seed) right after the
/// last event at or before each of `times`.
/// A fault given by word and bit instead of drawn.
struct GivenFault {
    uint32_t word;
    uint32_t bit;
};

bool run_once(const CampaignOptions& options, const std::vector<double>& times, uint32_t injection_seed,
              RunRecord* record, std::string* why, const GivenFault* given = nullptr) {
    trace_off();
    inic_kernel();
    auto cluster = std::make_unique<Cluster>();
    if (assemble_cluster(cluster.get(), options.directory.c_str(), why) != ASSEMBLY_OK) {
        dispose_all();
        return false;
    }
    FaultInjector* fi = cluster->fault_injector;
    set_fault_target(cluster.get(), options.target);
    set_fault_effect(fi, options.effect);
    seed_random(fi->rng, injection_seed);
    fi->listener = collect_injection;
    fi->listener_context = &record->injections;
    uint64_t frames = FNV_OFFSET;
    for (TtpChannel* channel : cluster->channels) {
        channel->delivery_observer = observe_frame;
        channel->observer_context = &frames;
    }
    double next_sample = SAMPLE_US;
    size_t next_injection = 0;
    uint64_t same_time = 0;
    double last_time = sim_time();
    for (;;) {
        const SimProcess* next = calendar()->suc_in_sqs;
        const double t_next = next != nullptr ? next->evtime : INFINITY;
        while (next_sample <= options.horizon_us && next_sample <= t_next) {
            record->samples.push_back(take_sample(*cluster, &frames));
            next_sample += SAMPLE_US;
        }
        while (next_injection < times.size() && times[next_injection] < t_next) {
            if (given == nullptr) {
                inject(fi);
            } else if (!inject_bit(fi, given->word, given->bit, options.effect, SOURCE_NOW)) {
                *why = "word " + std::to_string(given->word) + " bit " + std::to_string(given->bit) +
                       " is not a bit a fault may hit in this target";
                dispose_all();
                return false;
            }
            next_injection += 1;
        }
        if (next == nullptr || t_next > options.horizon_us) {
            break;
        }
        if (!next_event()) {
            (void)get_error(nullptr); // a kernel error ends the step; the run goes on as in the window
        }
        same_time = sim_time() == last_time ? same_time + 1 : 0;
        last_time = sim_time();
        if (same_time >= STUCK_STEPS) {
            break; // simulated time stopped: the samples left out show the run as not healed
        }
    }
    while (next_sample <= options.horizon_us) {
        Sample frozen = take_sample(*cluster, &frames);
        std::fill(std::begin(frozen.state), std::end(frozen.state), 0);
        record->samples.push_back(frozen);
        next_sample += SAMPLE_US;
    }
    record->state_hash = controller_state_hash(*cluster);
    record->hits = cluster->laser->hits;
    record->misses = cluster->laser->misses;
    dispose_all();
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

std::string format_time(double t) {
    if (t < 0) {
        return "";
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", t);
    return text;
}

/// Splits a CSV row; the campaign's cells hold no commas.
std::vector<std::string> cells_of(const std::string& row) {
    std::vector<std::string> cells;
    std::stringstream in(row);
    std::string cell;
    while (std::getline(in, cell, ',')) {
        cells.push_back(cell);
    }
    if (!row.empty() && row.back() == ',') {
        cells.emplace_back();
    }
    return cells;
}

/// Rows of an earlier (possibly interrupted) run of the campaign: experiment number -> row.
bool read_rows(const std::string& path, std::map<uint32_t, std::string>* rows, std::string* why) {
    std::ifstream in(path);
    if (!in) {
        return true; // nothing yet
    }
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::stringstream lines(text);
    std::string line;
    unsigned number = 0;
    while (std::getline(lines, line)) {
        number += 1;
        if (line.empty() || line == CAMPAIGN_CSV_HEADER) {
            continue;
        }
        const bool last_unfinished = lines.eof() && !text.empty() && text.back() != '\n';
        std::vector<std::string> cells = cells_of(line);
        if (cells.size() != CSV_COLUMNS || cells[0].empty() ||
            cells[0].find_first_not_of("0123456789") != std::string::npos) {
            if (last_unfinished) {
                continue; // a row cut short by an interruption: run it again
            }
            *why = path + ":" + std::to_string(number) + ": not a row of this campaign's CSV (" +
                   CAMPAIGN_CSV_HEADER + ")";
            return false;
        }
        (*rows)[static_cast<uint32_t>(std::stoul(cells[0]))] = line;
    }
    return true;
}

bool write_file_atomically(const std::string& path, const std::string& content, std::string* why) {
    const std::string temporary = path + ".tmp";
    std::FILE* file = std::fopen(temporary.c_str(), "w");
    if (file == nullptr) {
        *why = path + ": cannot be written (" + std::strerror(errno) + ")";
        return false;
    }
    const bool written = std::fwrite(content.data(), 1, content.size(), file) == content.size();
    const bool closed = std::fclose(file) == 0;
    if (!written || !closed || std::rename(temporary.c_str(), path.c_str()) != 0) {
        std::remove(temporary.c_str());
        *why = path + ": cannot be written (" + std::strerror(errno) + ")";
        return false;
    }
    return true;
}

/// A field's name without its indices ("membership[3]" -> "membership").
std::string field_group(const std::string& field) {
    std::string group;
    bool in_index = false;
    for (char ch : field) {
        if (ch == '[') {
            in_index = true;
        } else if (ch == ']') {
            in_index = false;
        } else if (!in_index) {
            group += ch;
        }
    }
    return group;
}

struct Wilson {
    double low;
    double high;
};

Wilson wilson_interval(unsigned x, unsigned n) {
    if (n == 0) {
        return {0.0, 0.0};
    }
    const double p = static_cast<double>(x) / n;
    const double z2 = Z_95 * Z_95;
    const double centre = (p + z2 / (2.0 * n)) / (1.0 + z2 / n);
    const double half = Z_95 * std::sqrt(p * (1.0 - p) / n + z2 / (4.0 * n * n)) / (1.0 + z2 / n);
    return {std::max(0.0, centre - half), std::min(1.0, centre + half)};
}

std::string svg_chart(const std::vector<std::pair<std::string, std::array<unsigned, OUTCOMES>>>& groups,
                      const std::string& title) {
    constexpr int label_width = 230;
    constexpr int bar_width = 560;
    constexpr int row_height = 20;
    constexpr int top = 70;
    const int height = top + static_cast<int>(groups.size()) * row_height + 20;
    std::ostringstream svg;
    svg << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"900\" height=\"" << height
        << "\" font-family=\"sans-serif\" font-size=\"12\">\n";
    svg << "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
    svg << "<text x=\"10\" y=\"22\" font-size=\"15\" font-weight=\"bold\">" << title << "</text>\n";
    for (unsigned o = 0; o < OUTCOMES; ++o) {
        const int x = 10 + static_cast<int>(o) * 170;
        svg << "<rect x=\"" << x << "\" y=\"36\" width=\"14\" height=\"14\" fill=\"" << OUTCOME_COLOURS[o]
            << "\"/><text x=\"" << x + 20 << "\" y=\"48\">" << OUTCOME_NAMES[o] << "</text>\n";
    }
    int y = top;
    for (const auto& [name, counts] : groups) {
        unsigned total = 0;
        for (unsigned c : counts) {
            total += c;
        }
        svg << "<text x=\"" << label_width - 8 << "\" y=\"" << y + 14 << "\" text-anchor=\"end\">" << name
            << "</text>\n";
        double x = label_width;
        for (unsigned o = 0; o < OUTCOMES; ++o) {
            if (counts[o] == 0 || total == 0) {
                continue;
            }
            const double w = bar_width * static_cast<double>(counts[o]) / total;
            svg << "<rect x=\"" << x << "\" y=\"" << y + 2 << "\" width=\"" << w << "\" height=\""
                << row_height - 4 << "\" fill=\"" << OUTCOME_COLOURS[o] << "\"><title>" << name << ": "
                << counts[o] << " " << OUTCOME_NAMES[o] << "</title></rect>\n";
            x += w;
        }
        svg << "<text x=\"" << label_width + bar_width + 8 << "\" y=\"" << y + 14 << "\">n = " << total
            << "</text>\n";
        y += row_height;
    }
    svg << "</svg>\n";
    return svg.str();
}

/// The summary tables and the chart from the rows of the whole campaign.
bool report_rows(const CampaignOptions& options, const std::map<uint32_t, std::string>& rows,
                 std::FILE* report, std::string* why) {
    std::array<unsigned, OUTCOMES> totals{};
    std::map<std::string, std::array<unsigned, OUTCOMES>> by_field;
    std::vector<std::string> field_order;
    for (const auto& [experiment, row] : rows) {
        std::vector<std::string> cells = cells_of(row);
        const std::string& name = cells[12];
        const auto found = std::find(std::begin(OUTCOME_NAMES), std::end(OUTCOME_NAMES), name);
        if (found == std::end(OUTCOME_NAMES)) {
            continue;
        }
        const auto o = static_cast<unsigned>(found - std::begin(OUTCOME_NAMES));
        totals[o] += 1;
        std::string group = field_group(cells[6]);
        if (by_field.find(group) == by_field.end()) {
            field_order.push_back(group);
        }
        by_field[group][o] += 1;
    }
    const unsigned n = static_cast<unsigned>(rows.size());
    std::fprintf(report, "%u experiments (%s, %s)\n\n", n, fault_target_name(options.target),
                 fault_effect_name(options.effect));
    std::fprintf(report, "%-20s %7s %8s   %s\n", "class", "count", "percent", "95% confidence interval");
    for (unsigned o = 0; o < OUTCOMES; ++o) {
        const Wilson ci = wilson_interval(totals[o], n);
        std::fprintf(report, "%-20s %7u %7.2f%%   %6.2f%% - %6.2f%%\n", OUTCOME_NAMES[o], totals[o],
                     n > 0 ? 100.0 * totals[o] / n : 0.0, 100.0 * ci.low, 100.0 * ci.high);
    }
    std::fprintf(report, "\n%-32s", "field");
    for (const char* name : OUTCOME_NAMES) {
        std::fprintf(report, " %10.10s", name);
    }
    std::fprintf(report, "\n");
    std::vector<std::pair<std::string, std::array<unsigned, OUTCOMES>>> groups;
    for (const std::string& group : field_order) {
        std::fprintf(report, "%-32s", group.c_str());
        for (unsigned count : by_field[group]) {
            std::fprintf(report, " %10u", count);
        }
        std::fprintf(report, "\n");
        groups.emplace_back(group, by_field[group]);
    }
    std::string svg_path = options.svg;
    if (svg_path.empty()) {
        const size_t dot = options.out.rfind('.');
        svg_path = (dot == std::string::npos ? options.out : options.out.substr(0, dot)) + ".svg";
    }
    char title[160];
    std::snprintf(title, sizeof title, "Outcome of %u single-bit %s faults in O1's %s, by field", n,
                  fault_effect_name(options.effect), fault_target_name(options.target));
    if (!write_file_atomically(svg_path, svg_chart(groups, title), why)) {
        return false;
    }
    std::fprintf(report, "\nchart: %s\n", svg_path.c_str());
    return true;
}

/// Runs the given experiments in this process, handing each finished row to `emit`.
template <class Emit>
bool run_experiments(const CampaignOptions& options, const RunRecord& golden,
                     const std::vector<uint32_t>& ids, Emit emit, std::string* why) {
    for (uint32_t k : ids) {
        uint32_t injection_seed = 0;
        std::vector<double> times = experiment_times(options, k, &injection_seed);
        RunRecord run;
        if (!run_once(options, times, injection_seed, &run, why)) {
            return false;
        }
        emit(k, campaign_csv_row(classify(k, golden, run)));
    }
    return true;
}

/// Worker processes: each runs every jobs-th experiment and writes its rows to a pipe; the rows are handed
/// to `emit` as they arrive.
template <class Emit>
bool run_in_workers(const CampaignOptions& options, const RunRecord& golden, const std::vector<uint32_t>& ids,
                    Emit emit, std::string* why) {
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
            const bool ok = run_experiments(
                options, golden, mine,
                [&](uint32_t, const std::string& row) {
                    std::string line = row + "\n";
                    size_t done = 0;
                    while (done < line.size()) {
                        ssize_t n = write(fds[1], line.data() + done, line.size() - done);
                        if (n <= 0) {
                            _exit(3);
                        }
                        done += static_cast<size_t>(n);
                    }
                },
                &reason);
            if (!ok) {
                std::fprintf(stderr, "pelorin-sim: %s\n", reason.c_str());
            }
            close(fds[1]);
            _exit(ok ? 0 : 1);
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
        all_ok = all_ok && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    if (!all_ok) {
        *why = "a worker process failed; the rows it finished are kept (run again with --resume)";
    }
    return all_ok;
}

} // namespace

const char* outcome_name(Outcome outcome) {
    return OUTCOME_NAMES[static_cast<unsigned>(outcome)];
}

bool experiment_with(const CampaignOptions& options, double time_us, uint32_t word, uint32_t bit,
                     ExperimentResult* result, std::string* why) {
    RunRecord golden;
    RunRecord run;
    const GivenFault fault{word, bit};
    if (!run_once(options, {}, 0, &golden, why) || !run_once(options, {time_us}, 0, &run, why, &fault)) {
        return false;
    }
    *result = classify(0, golden, run);
    return true;
}

std::string campaign_csv_row(const ExperimentResult& r) {
    std::string row = std::to_string(r.experiment) + ",";
    if (r.injections.empty()) {
        row += ",,,,,,,,,";
    } else {
        // The first injection's columns (time .. after), as in the injection log.
        std::string injection = injection_csv_row(r.injections.front(), "O1");
        injection = injection.substr(0, injection.rfind(',')); // without the source column
        row += injection;
    }
    row += "," + std::to_string(r.injections.size()) + "," + outcome_name(r.outcome) + "," +
           (r.converged ? "yes" : "no") + "," + format_time(r.detection_us) + "," + format_time(r.heal_us);
    return row;
}

bool parse_window(const std::string& text, double* from, double* to) {
    const size_t colon = text.find(':');
    if (colon == std::string::npos) {
        return false;
    }
    char* end = nullptr;
    const std::string a = text.substr(0, colon);
    const std::string b = text.substr(colon + 1);
    *from = std::strtod(a.c_str(), &end);
    if (a.empty() || *end != '\0') {
        return false;
    }
    *to = std::strtod(b.c_str(), &end);
    if (b.empty() || *end != '\0') {
        return false;
    }
    return std::isfinite(*from) && std::isfinite(*to) && *from >= 0 && *from < *to;
}

bool parse_shard(const std::string& text, uint32_t* index, uint32_t* count) {
    unsigned i = 0;
    unsigned n = 0;
    char extra = 0;
    if (std::sscanf(text.c_str(), "%u/%u%c", &i, &n, &extra) != 2 || n == 0 || i >= n) {
        return false;
    }
    *index = i;
    *count = n;
    return true;
}

int run_campaign(const CampaignOptions& options, std::FILE* report) {
    std::string why;
    if (!(options.window_to_us <= options.horizon_us)) {
        std::fprintf(stderr, "pelorin-sim campaign: the window must end before the horizon (%.0f us)\n",
                     options.horizon_us);
        return 2;
    }
    std::map<uint32_t, std::string> rows;
    if (options.resume && !read_rows(options.out, &rows, &why)) {
        std::fprintf(stderr, "pelorin-sim campaign: %s\n", why.c_str());
        return 2;
    }
    std::vector<uint32_t> ids;
    for (uint32_t k = options.shard_index; k < options.runs; k += options.shard_count) {
        if (rows.find(k) == rows.end()) {
            ids.push_back(k);
        }
    }
    // Rows go into the CSV as they finish, so an interrupted campaign keeps them for --resume; the file is
    // rewritten in experiment order at the end.
    std::FILE* out = std::fopen(options.out.c_str(), options.resume ? "a" : "w");
    if (out == nullptr) {
        std::fprintf(stderr, "pelorin-sim campaign: %s: cannot be written (%s)\n", options.out.c_str(),
                     std::strerror(errno));
        return 2;
    }
    std::fseek(out, 0, SEEK_END);
    if (std::ftell(out) == 0) {
        std::fprintf(out, "%s\n", CAMPAIGN_CSV_HEADER);
    } else {
        std::fprintf(out, "\n"); // ends a row an interruption may have cut short
    }
    std::fflush(out);

    RunRecord golden;
    if (!run_once(options, {}, 0, &golden, &why)) {
        std::fclose(out);
        std::fprintf(stderr, "%s\n\nReason: %s\n", STARTUP_ERROR_TEXT, why.c_str());
        return 255;
    }
    bool output_ok = true;
    auto emit = [&](uint32_t k, const std::string& row) {
        rows[k] = row;
        output_ok = output_ok && std::fprintf(out, "%s\n", row.c_str()) > 0 && std::fflush(out) == 0;
    };
    const bool ran = options.jobs <= 1 ? run_experiments(options, golden, ids, emit, &why)
                                       : run_in_workers(options, golden, ids, emit, &why);
    const bool closed = std::fclose(out) == 0;
    if (!ran || !output_ok || !closed) {
        std::fprintf(stderr, "pelorin-sim campaign: %s\n",
                     !ran ? why.c_str() : (options.out + ": writing the rows failed").c_str());
        return 1;
    }
    std::string content = std::string(CAMPAIGN_CSV_HEADER) + "\n";
    for (const auto& [k, row] : rows) {
        content += row + "\n";
    }
    if (!write_file_atomically(options.out, content, &why) || !report_rows(options, rows, report, &why)) {
        std::fprintf(stderr, "pelorin-sim campaign: %s\n", why.c_str());
        return 1;
    }
    return 0;
}
