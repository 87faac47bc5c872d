#pragma once
// The main queue: work items run one at a time, each to its end, in the
// order in which they were posted, never two at once. They run on the main
// thread, except that the reader thread runs its own at once while nothing
// else is running or waiting: a request then costs no wake-up of another
// thread.

#include <functional>

using Work = std::function<void()>;

// Safe from any thread; never waits for the item to run.
void post(Work work);

// Wakes the main loop, to run what is waiting and write what was handed to it.
void wakeMain();

// For the reader thread: true when it may run its next item itself, now,
// because nothing is running or waiting and its input has not ended; it then
// runs the item and calls finish(). more: another item follows at once, so
// replies may wait to leave with its own.
bool claim(bool more);
// Runs what was posted meanwhile, then gives the right to run back.
void finish(bool more);

// Runs posted items on the calling thread for ever; sleeps while idle, and
// notices there when the host closes the input, since the reader thread may
// be busy running an item then.
[[noreturn]] void runMainLoop();

// Runs the items posted so far, then returns (for tests).
void drainMainQueue();
