#pragma once
// The main queue: work items posted from any thread run on the main thread,
// one at a time, each to its end, in the order in which they were posted.

#include <functional>

using Work = std::function<void()>;

// Safe from any thread; never waits for the item to run.
void post(Work work);

// Runs posted items on the calling thread for ever; sleeps while idle.
[[noreturn]] void runMainLoop();

// Runs the items posted so far, then returns (for tests).
void drainMainQueue();
