#pragma once
// The main loop: the main thread owns standard input, standard output, the
// MIDI service's descriptors and the queue of work items, and sleeps in poll
// until one of them is ready or the service is due. Work items run one at a
// time, each to its end, in the order in which they were posted.

#include <functional>

using Work = std::function<void()>;

// Queues a work item behind those waiting; on the main thread only, where
// the MIDI service calls its notification handler.
void post(Work work);

// Runs the waiting work items, in order, those they post included.
void runPosted();

// Runs the loop for the rest of the process's life: reads the input as it
// comes and does the reader's duties line by line, writes output whenever
// standard output takes more, and hands the service what is ready for it.
// At the end of the input, ends the process with status 0 once every send
// that waits for room has gone and the host has taken the replies.
[[noreturn]] void run();
