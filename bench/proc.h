#pragma once
// What /proc tells of a process, for the benchmarks.

#include <sys/types.h>

#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

// User and system clock ticks the process has used, from /proc/PID/stat; -1
// when they cannot be read.
inline long cpuTicks(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), {});
    auto name = text.rfind(')');  // the name may hold spaces and parentheses
    if (name == std::string::npos || name + 2 > text.size()) return -1;
    std::istringstream fields(text.substr(name + 2));
    std::string skip;
    for (int i = 3; i < 14; ++i) fields >> skip;
    long user = -1, system = -1;
    fields >> user >> system;
    return user < 0 || system < 0 ? -1 : user + system;
}
