#include "tests/wine/RemotePty.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <cstdlib>

namespace winetest {

namespace {

constexpr int kPatienceMs = 20000;

bool StartWinsock() {
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}

}  // namespace

bool UnderWine() {
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

int ModemShim() {
    const char* value = std::getenv("REFLASHER_WINE_MODEM_SHIM");
    if (value == nullptr || *value == '\0') return -1;
    return value[0] == '1' ? 1 : 0;
}

BrokerLink::BrokerLink() {
    const char* port = std::getenv("REFLASHER_PTY_BROKER");
    if (port == nullptr || !StartWinsock()) return;
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(std::atoi(port)));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        closesocket(s);
        return;
    }
    BOOL one = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
    socket_ = static_cast<std::uintptr_t>(s);
}

BrokerLink::~BrokerLink() {
    if (Connected()) closesocket(static_cast<SOCKET>(socket_));
}

std::string BrokerLink::Request(const std::string& line, const std::vector<std::uint8_t>& payload) {
    if (!Connected()) return {};
    const SOCKET s = static_cast<SOCKET>(socket_);
    std::string out = line + "\n";
    out.append(payload.begin(), payload.end());
    for (std::size_t done = 0; done < out.size();) {
        const int n = send(s, out.data() + done, static_cast<int>(out.size() - done), 0);
        if (n <= 0) return {};
        done += static_cast<std::size_t>(n);
    }
    std::string answer;
    for (;;) {
        char c;
        if (recv(s, &c, 1, 0) != 1) return {};
        if (c == '\n') return answer;
        answer.push_back(c);
    }
}

bool BrokerLink::ReadBytes(std::uint8_t* bytes, std::size_t count) {
    const SOCKET s = static_cast<SOCKET>(socket_);
    for (std::size_t done = 0; done < count;) {
        const int n =
            recv(s, reinterpret_cast<char*>(bytes) + done, static_cast<int>(count - done), 0);
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

RemotePty::RemotePty(int port) {
    const std::string answer = link_.Request("OPEN " + std::to_string(port));
    if (answer.rfind("OK ", 0) == 0) slave_ = answer.substr(3);
}

void RemotePty::CloseMaster() {
    link_.Request("HANGUP");
}

bool RemotePty::Send(const std::vector<std::uint8_t>& bytes) {
    return link_.Request("SEND " + std::to_string(bytes.size()), bytes) == "OK";
}

std::vector<std::uint8_t> RemotePty::Receive(std::size_t count) {
    const std::string answer =
        link_.Request("RECV " + std::to_string(count) + " " + std::to_string(kPatienceMs));
    if (answer.rfind("DATA ", 0) != 0) return {};
    std::vector<std::uint8_t> bytes(std::strtoul(answer.c_str() + 5, nullptr, 10));
    if (!link_.ReadBytes(bytes.data(), bytes.size())) return {};
    return bytes;
}

void RemotePty::Drain() {
    link_.Request("DRAIN");
}

RemoteReceiver::RemoteReceiver(int port, const std::string& options) {
    ok_ = link_.Request("SIM " + std::to_string(port) + (options.empty() ? "" : " " + options)) ==
          "OK";
}

bool MakePortMissing(int port) {
    BrokerLink link;
    return link.Request("NONE " + std::to_string(port)) == "OK";
}

}  // namespace winetest
