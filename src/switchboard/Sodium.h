#pragma once

// libsodium, readied once per process before the first call that needs it: sodium_init picks the
// fastest implementations this processor runs (the ChaCha20 of every sealed frame) and opens the
// random generator. Safe to call from anywhere, any number of times.
namespace Sodium {

void ensureReady();

} // namespace Sodium
