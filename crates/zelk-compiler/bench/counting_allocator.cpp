// Global operator new/delete that count live heap bytes (by the allocator's
// usable size, so that frees match allocations exactly).
#include "counting_allocator.hpp"

#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

std::atomic<std::size_t> current_bytes{0};
std::atomic<std::size_t> peak_bytes{0};

void* counted_allocate(std::size_t size) {
  void* pointer = std::malloc(size == 0 ? 1 : size);
  if (pointer == nullptr) {
    throw std::bad_alloc();
  }
  const std::size_t now =
      current_bytes.fetch_add(malloc_usable_size(pointer), std::memory_order_relaxed) +
      malloc_usable_size(pointer);
  std::size_t peak = peak_bytes.load(std::memory_order_relaxed);
  while (now > peak && !peak_bytes.compare_exchange_weak(peak, now, std::memory_order_relaxed)) {
  }
  return pointer;
}

void counted_free(void* pointer) noexcept {
  if (pointer == nullptr) {
    return;
  }
  current_bytes.fetch_sub(malloc_usable_size(pointer), std::memory_order_relaxed);
  std::free(pointer);
}

}  // namespace

namespace zelk_compiler::bench {

HeapCounters heap_counters() {
  return HeapCounters{current_bytes.load(std::memory_order_relaxed),
                      peak_bytes.load(std::memory_order_relaxed)};
}

void reset_heap_peak() { peak_bytes.store(current_bytes.load(std::memory_order_relaxed)); }

}  // namespace zelk_compiler::bench

void* operator new(std::size_t size) { return counted_allocate(size); }
void* operator new[](std::size_t size) { return counted_allocate(size); }
void operator delete(void* pointer) noexcept { counted_free(pointer); }
void operator delete[](void* pointer) noexcept { counted_free(pointer); }
void operator delete(void* pointer, std::size_t) noexcept { counted_free(pointer); }
void operator delete[](void* pointer, std::size_t) noexcept { counted_free(pointer); }
