// Reading the files a user hands the programs (configurations, injection logs, campaign CSVs).
//
// Only a regular file is read: a directory, a device such as /dev/zero or a named pipe is refused before
// it is opened, so a mistyped name can neither hang a program nor make it read without end. A file larger
// than its reader allows is refused whole, and an error while reading is an error, never a short text
// taken as the whole file.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

/// The whole text of the regular file at `path`, of at most `max_bytes` bytes. False with a reason (what is
/// wrong, without the file's name) otherwise.
bool read_input_file(const std::string& path, size_t max_bytes, std::string* text, std::string* why);

/// Whether `path` names a regular file; false with a reason (what it is instead) otherwise.
bool is_input_file(const std::string& path, std::string* why);

/// `text` with every byte that is not printable ASCII written as \xHH, so that a message quoting input
/// stays one readable line.
std::string printable(const std::string& text);

/// The cells of one line of a comma-separated file, empty cells included ("a,,b," has four); an empty
/// line is one empty cell.
std::vector<std::string> csv_cells(const std::string& line);
