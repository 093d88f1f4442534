#include "clock.h"

#include <QElapsedTimer>

MonotonicClock steadyClock()
{
    return [] {
        static const QElapsedTimer started = [] {
            QElapsedTimer timer;
            timer.start();
            return timer;
        }();
        return started.elapsed();
    };
}
