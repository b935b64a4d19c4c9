// reflasher --list-ports: the serial devices of this machine, as lines for a person or as JSON
// lines (one object a device).
#pragma once

#include <cstdio>

#include "comm/PortList.h"

// Lists what ListSerialPorts finds under `roots`; returns the exit code (0).
int PrintPortList(const PortListRoots& roots, bool json, std::FILE* out);
