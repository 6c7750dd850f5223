#include "Sodium.h"

#include <sodium.h>

#include <cstdlib>

void Sodium::ensureReady()
{
    // sodium_init is itself thread-safe; the static only spares the call's lock afterwards. It
    // fails only when no random generator can be opened, and nothing here may go on without one.
    static const bool ready = sodium_init() >= 0;
    if (!ready)
        std::abort();
}
