#pragma once
// The send request: checks it, sends its bytes to the named destination and
// answers it with exactly one send reply.
//
// A MIDI device's driver takes no more than its buffer holds, and the
// service refuses what does not fit. Such a send waits, with its reply's
// place kept in the output, and sends to the same destination that come
// after it wait behind it; sends to anything else go out at once. The loop
// tries the waiting ones again when they are due.

#include "protocol/messages.h"

void send(const Request& request);

// Whether sends wait for room.
bool sendsWaiting();
// Milliseconds until the first waiting send is due; -1 while none waits.
int sendsTimeout();
// Sends what is due and fits now, in order; answers what can no longer go.
void resumeSends();
