#pragma once
// The shapes of the messages on both streams.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "midi/directory.h"
#include "protocol/emit.h"

// Output messages.
Json portsReport(const std::vector<Destination>& directory);
Json sendReply(std::int64_t id, const std::string* error);
Json failureLine(std::int32_t status);

// Input values, each read as one type; anything else counts as absent.
// An integer is a number written as a whole number in the signed 64-bit range.
std::optional<std::int64_t> integerAt(const Json& object, const char* key);
const std::string* textAt(const Json& object, const char* key);
// The array, when it exists and every element is an integer.
const Json::array_t* integersAt(const Json& object, const char* key);
std::optional<std::int64_t> integerOf(const Json& value);

// True when the object is the ports command.
bool isPortsCommand(const Json& object);
