#pragma once
// The one way output is written: one JSON object as one compact line.

#include <boost/json/value.hpp>

#include <string_view>

using Json = boost::json::value;

// Writes the object and a line feed with one write, or nothing when it cannot
// be serialised as valid UTF-8 (a name that is not, say).
void emit(const Json& object);

// Writes a line already made, its line feed included, as emit() does.
void emitLine(std::string_view line);

// While gathering, lines wait and leave together, a few kilobytes at a time,
// with the next line written while not gathering or with flush(): the thread
// running work items gathers the replies of work that more work follows.
void gather(bool on);
void flush();

// From here on, the calling thread never waits for the host to take its
// lines: what the output cannot take at once waits for another thread,
// which wake() tells to call writeHandedOver(); until then, and until that
// is done, outputHandedOver() is true and every line waits behind them.
void writeWithoutWaiting(void (*wake)());
bool outputHandedOver();
void writeHandedOver();

// Ends the process with the given status without cutting a line in half:
// it waits for a line being written and writes the gathered ones (for a
// moment, in case the host has stopped reading) and stops any later one.
[[noreturn]] void quit(int status);
