#pragma once

#include <cstdint>

// The platform's status code, as its authorization and code-signing services answer: 0 for
// success, a negative value of the service's own for each way a call fails. Only those two
// stand-ins answer with it; everything else answers a result (platform/posix/result.h).
using OSStatus = std::int32_t;
