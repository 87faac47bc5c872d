#pragma once
// The reader thread: turns each input line that holds a JSON object into one
// work item on the main queue, and ends the process when the input ends.

[[noreturn]] void readerLoop();
