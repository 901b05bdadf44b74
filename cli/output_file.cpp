#include "cli/output_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

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
        const int error = errno;
        std::remove(temporary.c_str());
        *why = path + ": cannot be written (" + std::strerror(error) + ")";
        return false;
    }
    return true;
}
