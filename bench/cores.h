#pragma once

#include <sched.h>

// Runs the calling thread, and the threads it starts, on the first `cores` processors it may use
// (all of them for 0) while it lives: a benchmark on one core and on two in the same run.
class Cores
{
public:
    explicit Cores(int cores)
    {
        sched_getaffinity(0, sizeof(all), &all);
        if (cores <= 0)
            return;
        cpu_set_t some;
        CPU_ZERO(&some);
        for (int cpu = 0, taken = 0; cpu < CPU_SETSIZE && taken < cores; ++cpu) {
            if (CPU_ISSET(cpu, &all)) {
                CPU_SET(cpu, &some);
                ++taken;
            }
        }
        sched_setaffinity(0, sizeof(some), &some);
    }
    ~Cores() { sched_setaffinity(0, sizeof(all), &all); }

    Cores(const Cores&) = delete;
    Cores& operator=(const Cores&) = delete;

private:
    cpu_set_t all;
};
