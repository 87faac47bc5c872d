#pragma once
// The input rule: a line is accepted when it holds exactly one JSON text
// whose top level is an object; what the bridge reads of it is kept.

#include <optional>
#include <string_view>

#include "protocol/messages.h"

// Deeper nesting than this is refused; real messages nest two deep.
inline constexpr int maxDepth = 64;

// The request a line carries, or none when the line is dropped. When memory
// runs out while a line is read, it is dropped too, unless its "id" has been
// read: it is then a request with that id and nothing else.
std::optional<Request> accept(std::string_view line);

// The same into a request kept from line to line, which then needs no new
// memory for the next one; false when the line is dropped (into is then
// left as it was).
bool accept(std::string_view line, Request& into);
