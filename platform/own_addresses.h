// Whether an address belongs to this machine: a loopback or wildcard address, or one of its interfaces'.
// Any thread (it asks the system each time).
#pragma once

#include "platform/endpoint.h"

namespace tapline::platform {

bool IsOwnAddress(const Endpoint& address);

}  // namespace tapline::platform
