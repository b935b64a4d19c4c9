#include "tools/prog/ResultFile.h"

#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

std::vector<std::string> ProgramArguments(int argc, char** argv) {
    return {argv, argv + argc};
}

std::FILE* OpenForReading(const std::string& path) {
    return std::fopen(path.c_str(), "rb");
}

bool WriteResultFile(const std::string& text, std::string& error) {
    char temporary[] = "status.err.XXXXXX";
    const int fd = mkstemp(temporary);
    if (fd < 0) {
        error = std::strerror(errno);
        return false;
    }
    const bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    if (!written || rename(temporary, "status.err") != 0) {
        error = std::strerror(errno);
        unlink(temporary);
        return false;
    }
    return true;
}
