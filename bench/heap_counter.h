// Heap use of one call, counted at the C allocator: PCL's and Eigen's
// containers allocate through malloc and posix_memalign, not operator new.
//
// Including this header replaces glibc's malloc family for the whole program,
// so exactly one source file of a program may include it.
#pragma once

#include <malloc.h>

#include <atomic>
#include <cerrno>
#include <cstddef>

// glibc's own allocator entry points, wrapped to count calls and bytes in use.
extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* pointer, std::size_t size);
void* __libc_memalign(std::size_t alignment, std::size_t size);
void __libc_free(void* pointer);
}

namespace larkspur::bench::heap {

inline std::atomic<std::size_t> in_use{0};
inline std::atomic<std::size_t> peak{0};
inline std::atomic<std::size_t> allocations{0};  // blocks handed out, reallocations included

inline void* Counted(void* pointer) {
  if (pointer != nullptr) {
    ++allocations;
    const std::size_t now = in_use += malloc_usable_size(pointer);
    std::size_t seen = peak.load(std::memory_order_relaxed);
    while (now > seen && !peak.compare_exchange_weak(seen, now)) {
    }
  }
  return pointer;
}

inline void Uncount(void* pointer) {
  if (pointer != nullptr) in_use -= malloc_usable_size(pointer);
}

}  // namespace larkspur::bench::heap

extern "C" {
void* malloc(std::size_t size) noexcept {
  return larkspur::bench::heap::Counted(__libc_malloc(size));
}
void* calloc(std::size_t count, std::size_t size) noexcept {
  return larkspur::bench::heap::Counted(__libc_calloc(count, size));
}
void* realloc(void* pointer, std::size_t size) noexcept {
  const std::size_t before = pointer != nullptr ? malloc_usable_size(pointer) : 0;
  void* moved = __libc_realloc(pointer, size);
  // On failure the old block stays; a zero size frees it.
  if (moved == nullptr && size != 0) return nullptr;
  larkspur::bench::heap::in_use -= before;
  return larkspur::bench::heap::Counted(moved);
}
void* memalign(std::size_t alignment, std::size_t size) noexcept {
  return larkspur::bench::heap::Counted(__libc_memalign(alignment, size));
}
void* aligned_alloc(std::size_t alignment, std::size_t size) noexcept {
  return larkspur::bench::heap::Counted(__libc_memalign(alignment, size));
}
int posix_memalign(void** out, std::size_t alignment, std::size_t size) noexcept {
  void* pointer = larkspur::bench::heap::Counted(__libc_memalign(alignment, size));
  if (pointer == nullptr) return ENOMEM;
  *out = pointer;
  return 0;
}
void free(void* pointer) noexcept {
  larkspur::bench::heap::Uncount(pointer);
  __libc_free(pointer);
}
}

namespace larkspur::bench {

struct HeapUse {
  double allocations;  // blocks allocated during the call
  double peak_mib;     // peak heap above the level before the call
};

// Heap use of one run of `call`.
template <typename Call>
HeapUse MeasureHeap(Call&& call) {
  const std::size_t before = heap::in_use.load();
  const std::size_t allocated_before = heap::allocations.load();
  heap::peak = before;
  call();
  return {static_cast<double>(heap::allocations.load() - allocated_before),
          static_cast<double>(heap::peak.load() - before) / (1024.0 * 1024.0)};
}

// Adds the figures as the counters "allocs_per_call" and "peak_heap_MiB".
template <typename State>
void ReportHeap(State& state, const HeapUse& use) {
  state.counters["allocs_per_call"] = use.allocations;
  state.counters["peak_heap_MiB"] = use.peak_mib;
}

}  // namespace larkspur::bench
