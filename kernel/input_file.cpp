#include "kernel/input_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <sys/stat.h>

namespace {

constexpr char FIRST_PRINTABLE = ' ';
constexpr char LAST_PRINTABLE = '~';

} // namespace

bool is_input_file(const std::string& path, std::string* why) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        *why = std::string("cannot be opened (") + std::strerror(errno) + ")";
        return false;
    }
    if (!S_ISREG(info.st_mode)) {
        *why = S_ISDIR(info.st_mode) ? "is a directory, not a file"
                                     : "is not a regular file (a device or a pipe cannot be read as one)";
        return false;
    }
    return true;
}

bool read_input_file(const std::string& path, size_t max_bytes, std::string* text, std::string* why) {
    text->clear();
    if (!is_input_file(path, why)) {
        return false;
    }
    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"), std::fclose);
    if (file == nullptr) {
        *why = std::string("cannot be opened (") + std::strerror(errno) + ")";
        return false;
    }
    char buffer[1 << 16];
    size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, file.get())) > 0) {
        if (text->size() + got > max_bytes) {
            *why = "is larger than " + std::to_string(max_bytes) + " bytes, more than such a file ever holds";
            text->clear();
            return false;
        }
        text->append(buffer, got);
    }
    if (std::ferror(file.get()) != 0) {
        *why = std::string("cannot be read (") + std::strerror(errno) + ")";
        text->clear();
        return false;
    }
    return true;
}

std::string printable(const std::string& text) {
    std::string shown;
    for (const char ch : text) {
        if (ch >= FIRST_PRINTABLE && ch <= LAST_PRINTABLE) {
            shown += ch;
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x",
                          static_cast<unsigned>(static_cast<unsigned char>(ch)));
            shown += escaped;
        }
    }
    return shown;
}

std::vector<std::string> csv_cells(const std::string& line) {
    std::vector<std::string> cells(1);
    for (char c : line) {
        if (c == ',') {
            cells.emplace_back();
        } else {
            cells.back() += c;
        }
    }
    return cells;
}
