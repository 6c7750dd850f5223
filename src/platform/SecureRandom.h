#pragma once

#include <cstddef>
#include <span>

// The operating system's cryptographically secure generator.
namespace SecureRandom {

// Fills the whole buffer at once from getrandom(2). The caller zero-fills first: a failing
// generator leaves the bytes as they were, and callers rely on that fixed outcome.
void fill(std::span<std::byte> buffer);

} // namespace SecureRandom
