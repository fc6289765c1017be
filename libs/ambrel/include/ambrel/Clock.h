#pragma once

#include <cstdint>
#include <functional>

namespace Ambrel {

// A source of APR times (microseconds since the epoch). The timer queue and
// the managed-file store read the present through one of these so that tests
// can move time without sleeping. An empty Clock means the system clock.
using Clock = std::function<int64_t()>;

// The system clock (apr_time_now).
int64_t SystemTime();

// Reads clock, or the system clock when clock is empty.
inline int64_t ReadClock(const Clock& clock) { return clock ? clock() : SystemTime(); }

}  // namespace Ambrel
