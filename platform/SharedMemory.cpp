#include "platform/SharedMemory.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

namespace velora {

namespace {

// A block is one allocation: this record, then the data, aligned for any type.
struct alignas(std::max_align_t) BlockRecord {
  std::uint64_t magic;
  std::size_t size;
  std::uint32_t lockCount;
};
constexpr std::uint64_t kMagic = 0x56656c6f72614d42ull;  // "VeloraMB"

std::atomic<std::size_t> liveBlocks{0};
std::atomic<std::size_t> allocCalls{0};
std::atomic<std::size_t> failAt{0};  // allocation call number that fails; 0 = none

BlockRecord* Record(HGLOBAL handle) {
  auto* r = reinterpret_cast<BlockRecord*>(handle);
  return (r && r->magic == kMagic) ? r : nullptr;
}

}  // namespace

HGLOBAL GlobalAlloc(std::uint32_t flags, std::size_t size) {
  const std::size_t call = allocCalls.fetch_add(1, std::memory_order_relaxed) + 1;
  std::size_t target = failAt.load(std::memory_order_relaxed);
  if (target != 0 && call == target) {
    failAt.compare_exchange_strong(target, 0, std::memory_order_relaxed);
    return 0;
  }
  if (size > (std::size_t{1} << 30)) return 0;
  void* raw = (flags & GMEM_ZEROINIT) ? std::calloc(1, sizeof(BlockRecord) + size)
                                      : std::malloc(sizeof(BlockRecord) + size);
  if (!raw) return 0;
  auto* r = new (raw) BlockRecord{kMagic, size, 0};
  liveBlocks.fetch_add(1, std::memory_order_relaxed);
  return reinterpret_cast<HGLOBAL>(r);
}

void* GlobalLock(HGLOBAL handle) {
  BlockRecord* r = Record(handle);
  if (!r) return nullptr;
  ++r->lockCount;
  return r + 1;
}

bool GlobalUnlock(HGLOBAL handle) {
  BlockRecord* r = Record(handle);
  if (!r || r->lockCount == 0) return false;
  return --r->lockCount != 0;
}

HGLOBAL GlobalFree(HGLOBAL handle) {
  BlockRecord* r = Record(handle);
  if (!r) return handle;
  r->magic = 0;
  std::free(r);
  liveBlocks.fetch_sub(1, std::memory_order_relaxed);
  return 0;
}

std::size_t GlobalSize(HGLOBAL handle) {
  BlockRecord* r = Record(handle);
  return r ? r->size : 0;
}

void GlobalAllocFailAt(std::size_t n) {
  failAt.store(n == 0 ? 0 : allocCalls.load(std::memory_order_relaxed) + n,
               std::memory_order_relaxed);
}

std::size_t GlobalLiveBlocks() {
  return liveBlocks.load(std::memory_order_relaxed);
}
std::size_t GlobalAllocCalls() {
  return allocCalls.load(std::memory_order_relaxed);
}

}  // namespace velora
