// Files that replace earlier results (a campaign's CSV and chart) are written whole to a temporary file in
// the same directory and renamed over the old one, so a reader sees either the old or the new content, and an
// interrupted or failed write leaves the old one as it was.
#pragma once

#include <string>

/// Writes `content` to `path` through "<path>.tmp"; false with a reason naming the file when it cannot.
bool write_file_atomically(const std::string& path, const std::string& content, std::string* why);
