// Counts the process's heap allocations: malloc, calloc and realloc (and so
// operator new and Qt's containers, which allocate through them) are
// interposed in the benchmark's own executable. Link allocation_count.cpp
// into a benchmark to use it.
#pragma once

#include <cstdint>

namespace stage::bench {

// Allocations made by the whole process since it started; always 0 in a
// sanitizer build, whose allocator is its own.
std::uint64_t Allocations();

}  // namespace stage::bench
