#include "bench/allocation_count.h"

#include <atomic>
#include <cstddef>

// A sanitizer brings its own allocator: nothing is counted there.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define STAGE_COUNT_ALLOCATIONS 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
#define STAGE_COUNT_ALLOCATIONS 0
#endif
#endif
#ifndef STAGE_COUNT_ALLOCATIONS
#define STAGE_COUNT_ALLOCATIONS 1
#endif

#if STAGE_COUNT_ALLOCATIONS
// glibc's own allocator under the interposed names.
extern "C" {
void* __libc_malloc(std::size_t size);                   // NOLINT(bugprone-reserved-identifier)
void* __libc_calloc(std::size_t count, std::size_t size);  // NOLINT(bugprone-reserved-identifier)
void* __libc_realloc(void* block, std::size_t size);     // NOLINT(bugprone-reserved-identifier)
}

namespace {
std::atomic<std::uint64_t> g_allocations{0};
}  // namespace

extern "C" {
// NOLINTBEGIN(readability-inconsistent-declaration-parameter-name): the C library's names
void* malloc(std::size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_malloc(size);
}
void* calloc(std::size_t count, std::size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_calloc(count, size);
}
void* realloc(void* block, std::size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_realloc(block, size);
}
// NOLINTEND(readability-inconsistent-declaration-parameter-name)
}
#else
namespace {
const std::atomic<std::uint64_t> g_allocations{0};
}  // namespace
#endif

namespace stage::bench {

std::uint64_t Allocations() { return g_allocations.load(std::memory_order_relaxed); }

}  // namespace stage::bench
