#pragma once
// The reader thread: turns each input line that holds a JSON object into one
// work item, run at once or on the main queue, and ends the process when the
// input ends.

#include <string_view>

[[noreturn]] void readerLoop();

// Calls take for each line of fd, without its line feed, until the input
// ends; a last line without a line feed counts too. more: another whole
// line has already been read and follows at once.
void readLines(int fd, void (*take)(std::string_view line, bool more));
