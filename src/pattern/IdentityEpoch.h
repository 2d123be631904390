#pragma once
// How many times a pooled pattern's name or GUID has changed (or a pointer to either went out), process-wide.
// A pattern does not know its pools, and pools may live on other threads than the pattern: a pool's index
// compares this count with the one it last checked its list at, and checks again when they differ.

#include <cstdint>

namespace vdpattern {

std::uint64_t PooledIdentityEpoch();

}  // namespace vdpattern
