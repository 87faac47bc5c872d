#pragma once
// The reader's duties, done by the main loop as input arrives: splitting it
// into lines, and turning each line that holds a JSON object into one work
// item, run in input order.

#include <string>
#include <string_view>

// The start of a line that spans reads, kept from one chunk to the next.
struct Lines {
    std::string partial;
    bool dropping = false;  // the line being read did not fit in memory
};

using Take = void (*)(std::string_view line);

// Calls take for each whole line in chunk, without its line feed, the start
// of the first one coming from earlier chunks.
void split(Lines& lines, std::string_view chunk, Take take);
// At the end of the input: a last line without a line feed counts too.
void end(Lines& lines, Take take);

// What the reader does with one line: a JSON object becomes one request,
// dispatched once the work items posted before it have run; anything else
// is dropped.
void take(std::string_view line);
