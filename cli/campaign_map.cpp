#include "cli/campaign_map.h"

#include "cli/campaign_fault.h"
#include "cli/campaign_report.h"
#include "cli/exit_status.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <map>
#include <sstream>
#include <vector>

namespace {

constexpr const char* PROGRAM = "pelorin-sim campaign map";

// The map's layout, in pixels.
constexpr int LABEL_WIDTH = 220;
constexpr int PLOT_WIDTH = 640;
constexpr int MAP_WIDTH = LABEL_WIDTH + PLOT_WIDTH + 40;
constexpr int BAND_HEIGHT = 32;
constexpr int BAND_GAP = 4;
constexpr int TOP = 70;
constexpr int LEGEND_Y = 36;
constexpr int LEGEND_STEP = 175;
constexpr int LEGEND_SWATCH = 14;
constexpr int AXIS_HEIGHT = 50;
constexpr int TICK_LENGTH = 5;
constexpr unsigned TICKS = 5;
constexpr double DOT_RADIUS = 2.5;
constexpr double MIN_MARK_WIDTH = 1.0;
constexpr double US_PER_MS = 1000.0;
constexpr const char* BAND_FILL = "#f4f4f4";

/// An experiment as the map draws it.
struct Mark {
    uint32_t experiment;
    unsigned outcome;
    size_t band;
    int bit;        // -1: the row names none
    double from_us; // the injection time, or the start of an exhaustive row's interval
    double to_us;   // the end of its interval; from_us for a dot
    bool interval;
};

/// A band of the y axis: a field or a drawn fault's kind and place, and the bits its rows name (0: none).
struct Band {
    std::string name;
    int bits = 0;
};

struct Map {
    std::vector<Band> bands;
    std::vector<Mark> marks;
    std::array<unsigned, OUTCOMES> counts{};
    unsigned undrawn = 0;
    double from_us = 0.0;
    double to_us = 0.0;
};

bool read_bit(const std::string& text, int* bit) {
    double value = 0;
    constexpr double MAX_BIT = 63;
    if (!read_exact_number(text, &value) || value < 0 || value > MAX_BIT || value != std::floor(value)) {
        return false;
    }
    *bit = static_cast<int>(value);
    return true;
}

/// The marks, bands and counts of the rows; the window from the campaign line, or the rows' times.
Map build_map(const CampaignCsv& csv, bool has_window, double window_from_us, double window_to_us) {
    Map map;
    const bool exhaustive = campaign_csv_columns(csv.head) == EXHAUSTIVE_CSV_COLUMNS;
    const bool described = campaign_csv_columns(csv.head) == DESCRIBED_CSV_COLUMNS;
    std::map<std::string, size_t> band_of;
    for (const auto& [experiment, row] : csv.rows) {
        const std::vector<std::string> cells = campaign_csv_cells(row);
        unsigned outcome = 0;
        if (!outcome_by_name(cells[CAMPAIGN_CSV_CLASS_COLUMN], &outcome)) {
            continue; // the reader refuses an unknown class
        }
        map.counts[outcome] += 1;
        Mark mark{experiment, outcome, 0, -1, 0.0, 0.0, false};
        if (!read_exact_number(cells[CAMPAIGN_CSV_TIME_COLUMN], &mark.from_us) ||
            !std::isfinite(mark.from_us)) {
            map.undrawn += 1;
            continue;
        }
        mark.to_us = mark.from_us;
        if (exhaustive && read_exact_number(cells[EXHAUSTIVE_CSV_FROM_COLUMN], &mark.from_us) &&
            read_exact_number(cells[EXHAUSTIVE_CSV_TO_COLUMN], &mark.to_us) && mark.to_us >= mark.from_us) {
            mark.interval = true;
        }
        const std::string name =
            described ? fault_group(cells[DESCRIBED_CSV_FAULT_COLUMN]) : cells[CAMPAIGN_CSV_FIELD_COLUMN];
        const auto [place, added] = band_of.emplace(name, map.bands.size());
        if (added) {
            map.bands.push_back(Band{name, 0});
        }
        mark.band = place->second;
        if (!described && read_bit(cells[CAMPAIGN_CSV_BIT_COLUMN], &mark.bit)) {
            map.bands[mark.band].bits = std::max(map.bands[mark.band].bits, mark.bit + 1);
        }
        map.marks.push_back(mark);
    }
    if (has_window) {
        map.from_us = window_from_us;
        map.to_us = window_to_us;
    } else if (!map.marks.empty()) {
        map.from_us = map.marks.front().from_us;
        map.to_us = map.from_us;
        for (const Mark& mark : map.marks) {
            map.from_us = std::min(map.from_us, mark.from_us);
            map.to_us = std::max(map.to_us, mark.to_us);
        }
    }
    return map;
}

/// The x of a time, kept on the plot (an exhaustive row's interval may reach beyond the window).
double x_of(const Map& map, double time_us) {
    const double span = map.to_us > map.from_us ? map.to_us - map.from_us : 1.0;
    const double share = std::clamp((time_us - map.from_us) / span, 0.0, 1.0);
    return LABEL_WIDTH + share * PLOT_WIDTH;
}

int band_top(size_t band) {
    return TOP + static_cast<int>(band) * (BAND_HEIGHT + BAND_GAP);
}

void write_mark(const Map& map, const Mark& mark, std::ostringstream& svg) {
    const Band& band = map.bands[mark.band];
    const double row_height =
        band.bits > 0 && mark.bit >= 0 ? static_cast<double>(BAND_HEIGHT) / band.bits : BAND_HEIGHT;
    const double y = band_top(mark.band) + (mark.bit >= 0 && band.bits > 0 ? mark.bit * row_height : 0.0);
    const char* colour = OUTCOME_COLOURS[mark.outcome];
    if (mark.interval) {
        const double x = x_of(map, mark.from_us);
        const double width = std::max(MIN_MARK_WIDTH, x_of(map, mark.to_us) - x);
        svg << "<rect class=\"mark\" x=\"" << x << "\" y=\"" << y << "\" width=\"" << width << "\" height=\""
            << row_height << "\" fill=\"" << colour << "\">";
    } else {
        svg << "<circle class=\"mark\" cx=\"" << x_of(map, mark.from_us) << "\" cy=\"" << y + row_height / 2
            << "\" r=\"" << DOT_RADIUS << "\" fill=\"" << colour << "\">";
    }
    svg << "<title>experiment " << mark.experiment << ": " << xml_text(band.name);
    if (mark.bit >= 0) {
        svg << " bit " << mark.bit;
    }
    svg << ", " << OUTCOME_NAMES[mark.outcome] << "</title></" << (mark.interval ? "rect" : "circle")
        << ">\n";
}

void write_axis(const Map& map, int y, std::ostringstream& svg) {
    svg << "<line x1=\"" << LABEL_WIDTH << "\" y1=\"" << y << "\" x2=\"" << LABEL_WIDTH + PLOT_WIDTH
        << "\" y2=\"" << y << "\" stroke=\"black\"/>\n";
    for (unsigned t = 0; t <= TICKS; ++t) {
        const double time_us = map.from_us + (map.to_us - map.from_us) * t / TICKS;
        const double x = x_of(map, time_us);
        svg << "<line x1=\"" << x << "\" y1=\"" << y << "\" x2=\"" << x << "\" y2=\"" << y + TICK_LENGTH
            << "\" stroke=\"black\"/><text class=\"tick\" x=\"" << x << "\" y=\"" << y + 3 * TICK_LENGTH
            << "\" text-anchor=\"middle\">" << time_us / US_PER_MS << "</text>\n";
    }
    svg << "<text x=\"" << LABEL_WIDTH + PLOT_WIDTH / 2 << "\" y=\"" << y + AXIS_HEIGHT - TICK_LENGTH
        << "\" text-anchor=\"middle\">injection time in the window (ms)</text>\n";
}

std::string map_svg(const Map& map, const std::string& title, bool described) {
    const int plot_bottom = band_top(map.bands.size());
    const int height = plot_bottom + AXIS_HEIGHT + (map.undrawn > 0 ? BAND_HEIGHT : 0);
    std::ostringstream svg;
    svg << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << MAP_WIDTH << "\" height=\"" << height
        << "\" font-family=\"sans-serif\" font-size=\"12\">\n";
    svg << "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
    svg << "<text x=\"10\" y=\"22\" font-size=\"15\" font-weight=\"bold\">" << xml_text(title) << "</text>\n";
    for (unsigned o = 0; o < OUTCOMES; ++o) {
        const int x = 10 + static_cast<int>(o) * LEGEND_STEP;
        svg << "<rect class=\"legend\" x=\"" << x << "\" y=\"" << LEGEND_Y << "\" width=\"" << LEGEND_SWATCH
            << "\" height=\"" << LEGEND_SWATCH << "\" fill=\"" << OUTCOME_COLOURS[o] << "\"/><text x=\""
            << x + LEGEND_SWATCH + 6 << "\" y=\"" << LEGEND_Y + LEGEND_SWATCH - 2 << "\">" << OUTCOME_NAMES[o]
            << " (" << map.counts[o] << ")</text>\n";
    }
    svg << "<text x=\"10\" y=\"" << TOP - 6 << "\" font-weight=\"bold\">"
        << (described ? "fault" : "field (bit 0 at the top of its band)") << "</text>\n";
    for (size_t b = 0; b < map.bands.size(); ++b) {
        svg << "<rect x=\"" << LABEL_WIDTH << "\" y=\"" << band_top(b) << "\" width=\"" << PLOT_WIDTH
            << "\" height=\"" << BAND_HEIGHT << "\" fill=\"" << BAND_FILL << "\"/><text x=\""
            << LABEL_WIDTH - 8 << "\" y=\"" << band_top(b) + BAND_HEIGHT / 2 + 4 << "\" text-anchor=\"end\">"
            << xml_text(map.bands[b].name) << "</text>\n";
    }
    for (const Mark& mark : map.marks) {
        write_mark(map, mark, svg);
    }
    write_axis(map, plot_bottom, svg);
    if (map.undrawn > 0) {
        svg << "<text x=\"10\" y=\"" << plot_bottom + AXIS_HEIGHT + BAND_HEIGHT / 2 << "\">" << map.undrawn
            << " experiments without an injection, not drawn</text>\n";
    }
    svg << "</svg>\n";
    return svg.str();
}

int fail(int status, const std::string& why) {
    std::fprintf(stderr, "%s: %s\n", PROGRAM, why.c_str());
    return status;
}

} // namespace

std::string default_map_path(const std::string& csv_path) {
    // A dot that starts the file's name (".hidden") or lies in a directory's name begins no extension.
    const size_t slash = csv_path.rfind('/');
    const size_t name = slash == std::string::npos ? 0 : slash + 1;
    const size_t dot = csv_path.rfind('.');
    const bool has_extension = dot != std::string::npos && dot > name;
    return (has_extension ? csv_path.substr(0, dot) : csv_path) + ".map.svg";
}

std::string xml_text(const std::string& text) {
    std::string escaped;
    for (char ch : text) {
        switch (ch) {
        case '&':
            escaped += "&amp;";
            break;
        case '<':
            escaped += "&lt;";
            break;
        case '>':
            escaped += "&gt;";
            break;
        case '"':
            escaped += "&quot;";
            break;
        default:
            escaped += ch;
        }
    }
    return escaped;
}

bool fault_map_svg(const CampaignCsv& csv, const std::string& title, std::string* svg, std::string* why) {
    CampaignOptions campaign;
    bool has_window = false;
    if (!csv.head.parameters.empty()) {
        if (!parse_campaign_parameters(csv.head.parameters, &campaign, why)) {
            return false;
        }
        has_window = campaign_window(csv.head.parameters, &campaign.window_from_us, &campaign.window_to_us);
    }
    const Map map = build_map(csv, has_window, campaign.window_from_us, campaign.window_to_us);
    *svg = map_svg(map, title, campaign_csv_columns(csv.head) == DESCRIBED_CSV_COLUMNS);
    return true;
}

int map_campaign(const MapOptions& options, std::FILE* report) {
    CampaignCsv csv;
    std::string why;
    if (!read_campaign_csv(options.csv, &csv, &why)) {
        return fail(EXIT_USAGE, why);
    }
    std::string svg;
    const std::string title =
        "Fault-space map of " + options.csv + " (" + std::to_string(csv.rows.size()) + " experiments)";
    if (!fault_map_svg(csv, title, &svg, &why)) {
        return fail(EXIT_USAGE, options.csv + ": " + why);
    }
    const std::string out = options.out.empty() ? default_map_path(options.csv) : options.out;
    if (!write_file_atomically(out, svg, &why)) {
        return fail(EXIT_OUTPUT, why);
    }
    if (csv.unfinished_line != 0) {
        std::fprintf(report, "%s:%u: an unfinished last row, left out of the map\n", options.csv.c_str(),
                     csv.unfinished_line);
    }
    std::fprintf(report, "map: %s\n", out.c_str());
    return EXIT_DONE;
}
