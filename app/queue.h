#pragma once
// The main queue: requests posted from any thread run on the main thread,
// one at a time, each to its end, in the order in which they were posted.

#include "protocol/request.h"

// Safe from any thread; never waits for the request to run.
void post(Request request);

// Runs posted requests on the calling thread for ever; sleeps while idle.
[[noreturn]] void runMainLoop();

// Runs the requests posted so far, then returns (for tests).
void drainMainQueue();
