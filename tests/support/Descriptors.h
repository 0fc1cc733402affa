#pragma once

#include <cstddef>

// How many threads this process runs now.
std::size_t ThreadCount();

// How many descriptors this process holds, once the count has stayed the same over a
// few looks 20 ms apart (at most two seconds): another test's thread, or the
// sanitizer's own bookkeeping, may hold one for a moment.
std::size_t OpenDescriptors();

// The count once it equals nExpected, or after two seconds the count then. Another
// test's thread, or the sanitizer's own bookkeeping, may hold a descriptor for a
// moment; a real leak stays and still fails the comparison.
std::size_t DescriptorsSettledAt(std::size_t nExpected);
