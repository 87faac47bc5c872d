#pragma once
// What /proc tells of a process, for the benchmarks.

#include <sys/types.h>

#include <filesystem>
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

// The threads the process has now: the entries of /proc/PID/task; -1 when
// they cannot be read.
inline long threadCount(pid_t pid) {
    std::error_code error;
    std::filesystem::directory_iterator task("/proc/" + std::to_string(pid) + "/task", error);
    if (error) return -1;
    long n = 0;
    for (std::filesystem::directory_iterator end; task != end; task.increment(error)) ++n;
    return error ? -1 : n;
}
