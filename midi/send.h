#pragma once
// The send request: checks it, sends its bytes to the named destination and
// answers it with exactly one send reply.

#include "protocol/emit.h"

void send(const Json& request);
