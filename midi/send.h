#pragma once
// The send request: checks it, sends its bytes to the named destination and
// answers it with exactly one send reply.

#include "protocol/messages.h"

void send(const Request& request);
