// Writes the link fuzzer's seeds: the packet examples as a receive stream, each behind the
// fuzzer's first byte (read size minus one).
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "link/Packet.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Frame(std::uint8_t command, const Bytes& data) {
    Bytes packet(data.size() + 6);
    std::uint8_t* area =
        BuildRequestHeader(packet.data(), command, static_cast<std::uint8_t>(data.size()));
    for (std::size_t i = 0; i < data.size(); ++i) {
        area[i] = data[i];
    }
    AppendChecksum(packet.data(), static_cast<std::uint8_t>(data.size()));
    return packet;
}

Bytes Identity(const std::string& version, std::uint32_t value, const std::string& prefix) {
    Bytes data(14 + 59, 0);
    for (std::size_t i = 0; i < version.size() && i < 14; ++i) {
        data[i] = static_cast<std::uint8_t>(version[i]);
    }
    for (int i = 0; i < 4; ++i) {
        data.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    }
    data.insert(data.end(), prefix.begin(), prefix.end());
    data.push_back(0);
    return Frame('-', data);
}

Bytes Power(std::uint8_t subCode, std::uint8_t flags, std::uint32_t battery) {
    Bytes data = {subCode, 0, 0, 0, flags};
    for (int i = 0; i < 4; ++i) {
        data.push_back(static_cast<std::uint8_t>(battery >> (8 * i)));
    }
    return Frame('F', data);
}

Bytes Join(std::uint8_t readSize, std::initializer_list<Bytes> parts) {
    Bytes all = {readSize};
    for (const Bytes& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: link-fuzz-seeds FOLDER\n");
        return 2;
    }
    const std::string folder = argv[1];
    mkdir(folder.c_str(), 0755);

    const Bytes handshake = {0x01, 0x3F, 0xC0, 0x08, 0x52, 0x55, 0x56,
                             0x55, 0x2D, 0x30, 0x30, 0x30, 0x17, 0x03};
    const Bytes identityRequest = {0x01, 0x2D, 0xD2, 0x00, 0x00, 0x01};
    const Bytes powerRequest = {0x01, 0x46, 0xB9, 0x01, 0x03, 0x04, 0x01};
    const Bytes identity = Identity("169-508231-004", 0x12345678, "VIZ");
    Bytes shortVersion = Identity("169-508231-004", 0x0000ABCD, "ABCDE");
    shortVersion[10] = 0;
    Bytes largest(261);
    std::uint8_t* data = BuildRequestHeader(largest.data(), 'Z', 255);
    for (int i = 0; i < 255; ++i) {
        data[i] = 0xFF;
    }
    AppendChecksum(largest.data(), 255);
    Bytes badSum = Power(3, 0x80, 3600);
    badSum[badSum.size() - 2] ^= 0x40;
    const Bytes stray = {0x01, 'X', 0xFF - 'X', 0x40};
    Bytes noPrefixEnd = identity;
    noPrefixEnd.resize(noPrefixEnd.size() - 3);  // cuts the NUL and the checksum: never completes
    Bytes truncated = Frame('-', Bytes(identity.begin() + 4, identity.begin() + 4 + 60));

    const std::vector<Bytes> seeds = {
        Join(0xFF, {handshake}),
        Join(0xFF, {identityRequest, powerRequest}),
        Join(0xFF, {identity}),
        Join(0xFF, {Power(3, 0x80, 3600), Power(3, 0x7F, 0xFFFFFFFF)}),
        Join(0x07, {{0x00, 0x55}, identity}),
        Join(0xFF, {stray, Power(3, 0x00, 4000), Bytes(0x40, 0x00)}),
        Join(0xFF, {largest}),
        Join(0xFF, {{0x10}, badSum, {0x12}}),
        Join(0xFF, {shortVersion, Power(4, 0x80, 12)}),
        Join(0x00, {truncated, Frame('F', {3, 0, 0, 0, 0x80})}),
        Join(0xFF, {noPrefixEnd}),
        Join(0x02, {{0x01, 0x46}, Frame('?', {})}),
    };
    for (std::size_t i = 0; i < seeds.size(); ++i) {
        const std::string path = folder + "/seed-" + std::to_string(i);
        std::FILE* file = std::fopen(path.c_str(), "wb");
        if (file == nullptr ||
            std::fwrite(seeds[i].data(), 1, seeds[i].size(), file) != seeds[i].size()) {
            std::perror(path.c_str());
            return 1;
        }
        std::fclose(file);
    }
    return 0;
}
