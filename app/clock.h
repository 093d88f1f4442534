#pragma once

#include <QtGlobal>

#include <functional>

// Milliseconds on a clock that never goes back. The lock and clipboard timers read time through
// one, so that tests can move time on by hand.
using MonotonicClock = std::function<qint64()>;

// The system's monotonic clock.
MonotonicClock steadyClock();
