#pragma once
// The send request: checks it, sends its bytes to the named destination and
// answers it with exactly one send reply.

#include "protocol/request.h"

void send(const Request& request);
// The object read as a send request, whatever its "cmd".
void send(const Json& request);
