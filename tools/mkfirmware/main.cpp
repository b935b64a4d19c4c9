// mkfirmware: writes a firmware image file for the simulated receiver.
//   mkfirmware <output file> <version text> [payload bytes]
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tools/bootloader/FirmwareImage.h"

int main(int argc, char** argv) {
    if (argc < 3 || argc > 4) {
        std::fprintf(stderr, "usage: mkfirmware <output file> <version text> [payload bytes]\n");
        return 2;
    }
    const std::string version = argv[2];
    if (version.empty() || version.size() > firmware::kVersionSize) {
        std::fprintf(stderr, "mkfirmware: the version text must have 1 to %zu characters\n",
                     firmware::kVersionSize);
        return 2;
    }
    unsigned long size = 32 * 1024;
    if (argc == 4) {
        char* end = nullptr;
        errno = 0;
        size = std::strtoul(argv[3], &end, 10);
        if (errno != 0 || end == argv[3] || *end != '\0' || size > firmware::kMaxPayload) {
            std::fprintf(stderr, "mkfirmware: payload size must be 0 to %u bytes\n",
                         firmware::kMaxPayload);
            return 2;
        }
    }
    const auto image = firmware::BuildImage(version, firmware::MakePayload(version, size));
    // Written beside the target and renamed, so a build never leaves half an image behind.
    const std::string temporary = std::string(argv[1]) + ".part";
    std::FILE* out = std::fopen(temporary.c_str(), "wb");
    if (out == nullptr) {
        std::fprintf(stderr, "mkfirmware: cannot write %s: %s\n", temporary.c_str(),
                     std::strerror(errno));
        return 1;
    }
    const bool written = std::fwrite(image.data(), 1, image.size(), out) == image.size();
    if (std::fclose(out) != 0 || !written || std::rename(temporary.c_str(), argv[1]) != 0) {
        std::fprintf(stderr, "mkfirmware: cannot write %s\n", argv[1]);
        std::remove(temporary.c_str());
        return 1;
    }
    return 0;
}
