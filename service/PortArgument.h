// --port N|PATH: the COM port of this run, given by number or by its device.
#pragma once

#include <cstdint>
#include <string>

struct PortChoice {
    std::int32_t com = 0;  // 1 ... 4: the port selection page's entries
    std::string device;    // the device that COM port stands for in this run
};

// Resolves `argument`: a number 1 ... 4 is that COM port, whatever device it stands for. A path
// names the device: it becomes the COM port that already stands for that device, else the first
// of COM 1 ... 4 that no REFLASHER_COM<n> maps, through REFLASHER_COM<n> in this process's
// environment (so the flasher, which inherits it, opens the same device). A relative path is made
// absolute first, since the flasher runs in a folder of its own. False with `error` when the
// argument is neither, or when COM 1 ... 4 are all mapped to other devices.
bool ChoosePort(const std::string& argument, PortChoice& choice, std::string& error);
