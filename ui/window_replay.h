// What the window opens with `pelorin --replay LOG` and `pelorin --campaign-row FILE.csv:K`: the rows of a
// run to replay, and the kernel step the window stops before, which is that of the run's first injection
// (the first row that changes the model; a fault's `added` row only plans it). The window runs unpaced to
// it and stands there, just before the injection; Run goes on with it. No Qt, tested without a display.
//
// A campaign row stands for its experiment when the experiment injected once: the row holds that one
// injection (as the injection log writes it, without its source, which is "now": between two steps). A
// row that injected nothing or more than once is refused, since the row alone cannot replay it.
//
// Every refusal names the file (and for a log the line, as read_injection_csv does) and says what to fix.
#pragma once

#include "host/injection_log.h"

#include <cstdint>
#include <string>
#include <vector>

struct WindowReplay {
    std::vector<InjectionRecord> rows;
    uint64_t stop_before_step = 0; // the first injection's step; 0: at the start
};

/// The step of the first row that is not a fault's `added` row; 0 when there is none.
uint64_t first_injection_step(const std::vector<InjectionRecord>& rows);
/// The log at `path` (read_injection_csv): false with the file, the line and why.
bool read_window_replay(const std::string& path, WindowReplay* replay, std::string* why);
/// `argument` is "FILE.csv:K": experiment K of the campaign CSV FILE.csv. False with why: no ":K", a K
/// that is no experiment number, a file that cannot be read as a campaign CSV (its file and line), an
/// experiment the file does not hold, one that injected other than once.
bool read_campaign_row(const std::string& argument, WindowReplay* replay, std::string* why);
