#pragma once
// The shape nearly every request comes in, read by a plain scan instead of
// the JSON parser: one object without white space whose members are "id" (an
// integer), "dest" and "cmd" (texts of printable ASCII without escapes) and
// "bytes" (an array of 1 to maxBytes integers), each at most once, in any
// order; an integer here is a decimal of at most 18 digits with no sign and
// no leading zero. Anything else, however valid, is left to the parser.

#include <string_view>

#include "protocol/messages.h"

// True when the line has that shape: into then holds what the parser would
// read of it. False when it has not, with into as it was.
bool readPlain(std::string_view line, Request& into);
