#pragma once
// The one way output is written: one JSON object as one compact line.

#include <cstdint>

#include <nlohmann/json.hpp>

using Json = nlohmann::json;

// Writes the object and a line feed with one write, or nothing when it cannot
// be serialised (a text that is not valid UTF-8, say).
void emit(const Json& object);

// The success reply {"id":N,"ok":true}, byte for byte as emit would write it,
// without building and serialising an object: it is most of the output.
void emitSuccess(std::int64_t id);

// Ends the process with the given status without cutting a line in half:
// it waits for a line being written and stops any later one.
[[noreturn]] void quit(int status);
