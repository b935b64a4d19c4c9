// What the fuzzers share: a failed check traps, so that libFuzzer keeps the input.
#pragma once

#include <stdio.h>
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <string_view>

inline void Check(bool condition) {
    if (!condition) __builtin_trap();
}

// No byte of `text` steers a terminal or breaks a line: printable ASCII only.
inline bool Printable(std::string_view text) {
    for (char c : text) {
        if (c < 0x20 || c > 0x7E) return false;
    }
    return true;
}

// A folder of the fuzzer's own in /tmp for the whole run; removed at exit.
inline const std::string& FuzzFolder() {
    static const struct Folder {
        Folder() {
            std::string pattern = "/tmp/reflasher-fuzz-XXXXXX";
            Check(mkdtemp(pattern.data()) != nullptr);
            path = pattern;
        }
        ~Folder() {
            std::error_code ec;
            std::filesystem::remove_all(path, ec);
        }
        std::string path;
    } folder;
    return folder.path;
}

// What `write` wrote to a stream.
template <class Write>
std::string Captured(Write write) {
    char* buffer = nullptr;
    std::size_t size = 0;
    FILE* out = open_memstream(&buffer, &size);
    Check(out != nullptr);
    write(out);
    fclose(out);
    std::string text(buffer, size);
    free(buffer);
    return text;
}
