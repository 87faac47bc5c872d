#pragma once
// The one way output is written: one JSON object as one compact line.

#include <boost/json/value.hpp>

#include <cstddef>
#include <string_view>

using Json = boost::json::value;

// Output is one buffer that the main loop writes out whenever standard
// output takes more: nothing here waits for the host, and while the host
// does not read, its lines wait in memory. Main thread only.

// Adds the object and a line feed to the output, or nothing when it cannot
// be serialised as valid UTF-8 (a name that is not, say).
void emit(const Json& object);

// Adds a line already made, its line feed included, as emit() does.
void emitLine(std::string_view line);

// A reply that is made later (a send waiting for room at its destination)
// keeps its place: lines added after it wait behind it until it is filled.
// A line given to emitPassing() passes every held place.
using Held = std::uint64_t;
Held hold();
void fill(Held place, std::string_view line);
void fill(Held place, const Json& object);
// Adds the object as emit() does, ahead of every held place: for what is
// not a reply (a report of changes the host did not ask for).
void emitPassing(const Json& object);
// How many places are held.
std::size_t held();

// At start-up: makes writes to standard output never wait.
void prepareOutput();

// How many bytes of lines wait to be written.
std::size_t outputWaiting();

// Writes what standard output takes now; the memory of a large backlog goes
// back once the host has taken it.
void writeOutput();
// Whether the last writeOutput() left lines that the output did not take:
// trying again before it is writable would only cost a system call.
bool outputStalled();

// Ends the process with the given status, once the waiting lines are out or
// the host has taken none of them for a moment.
[[noreturn]] void quit(int status);
