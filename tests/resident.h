#pragma once
// A process's resident memory, as the kernel counts it.

#include <sys/types.h>

#include <fstream>
#include <string>

// VmRSS of pid in KiB, or -1 when it cannot be read.
inline long residentKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    return -1;
}
