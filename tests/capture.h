#pragma once
// Runs code in this process and returns what it wrote to standard output.

#include <functional>
#include <string>

std::string capture(const std::function<void()>& body);
