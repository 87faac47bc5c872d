#pragma once
// The input rule: a line is accepted when it holds exactly one JSON text
// whose top level is an object.

#include <optional>
#include <string_view>

#include "protocol/emit.h"

// Deeper nesting than this is refused; real messages nest two deep.
inline constexpr int maxDepth = 64;

std::optional<Json> accept(std::string_view line);
