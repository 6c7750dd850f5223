#pragma once

#include <cstdio>
#include <cstdlib>
#include <ctime>

// A property a harness checks on every input: when it fails, the input is a finding, kept by
// libFuzzer like a crash.
#define FUZZ_CHECK(condition)                                                                    \
    do {                                                                                         \
        if (!(condition)) {                                                                      \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                        \
        }                                                                                        \
    } while (false)

// How long one input may keep a harness busy: an input that costs more is a finding, like a
// crash, with a line saying so. Measured in CPU time of the whole process (every thread), not on
// the wall clock, so a machine busy with other work does not turn an ordinary input into a
// finding. KIVREN_FUZZ_INPUT_LIMIT_MS overrides the limit (a long run on a quiet machine may
// tighten it).
class FuzzTimeLimit
{
public:
    FuzzTimeLimit(const char *what, double limitMs)
        : m_what(what)
        , m_limitMs(limitMs)
        , m_start(cpuMs())
    {
        if (const char *set = std::getenv("KIVREN_FUZZ_INPUT_LIMIT_MS"))
            m_limitMs = std::atof(set);
    }
    ~FuzzTimeLimit()
    {
        const double spent = cpuMs() - m_start;
        if (spent > m_limitMs) {
            std::fprintf(stderr, "slow input: %s took %.0f ms of CPU time, over its limit of %.0f ms\n", m_what, spent,
                         m_limitMs);
            std::abort();
        }
    }
    FuzzTimeLimit(const FuzzTimeLimit &) = delete;
    FuzzTimeLimit &operator=(const FuzzTimeLimit &) = delete;

private:
    static double cpuMs()
    {
        timespec now{};
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
        return double(now.tv_sec) * 1e3 + double(now.tv_nsec) / 1e6;
    }

    const char *m_what;
    double m_limitMs;
    double m_start;
};
