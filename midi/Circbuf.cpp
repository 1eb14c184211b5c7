#include "midi/Circbuf.h"

#include <new>

namespace velora {

void* GlobalSharedLockedAlloc(std::size_t size, HGLOBAL& handle) {
  handle = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT | GMEM_DDESHARE, size);
  if (handle == 0) return nullptr;
  void* address = GlobalLock(handle);
  if (!address) {
    GlobalFree(handle);
    handle = 0;
  }
  return address;
}

void GlobalSharedLockedFree(HGLOBAL handle, void* /*address*/) {
  if (handle == 0) return;
  GlobalUnlock(handle);
  GlobalFree(handle);
}

TCircularBuffer* CircbufAlloc(std::uint16_t capacity) {
  if (capacity == 0 || capacity > CircbufMaxCapacity) return nullptr;
  HGLOBAL blockHandle = 0;
  void* block = GlobalSharedLockedAlloc(sizeof(TCircularBuffer), blockHandle);
  if (!block) return nullptr;
  HGLOBAL itemsHandle = 0;
  auto* items = static_cast<TMidiBufferItem*>(
      GlobalSharedLockedAlloc(std::size_t{capacity} * sizeof(TMidiBufferItem), itemsHandle));
  if (!items) {
    GlobalSharedLockedFree(blockHandle, block);
    return nullptr;
  }
  auto* ring = new (block) TCircularBuffer{};
  ring->BlockHandle = blockHandle;
  ring->ItemsHandle = itemsHandle;
  ring->ItemsStart = items;
  ring->ItemsEnd = items + capacity;
  ring->WritePosition = items;
  ring->ReadPosition = items;
  ring->MaxCount = capacity;
  ring->EventCount.store(0, std::memory_order_relaxed);
  return ring;
}

void CircbufFree(TCircularBuffer* ring) {
  if (!ring) return;
  const HGLOBAL blockHandle = ring->BlockHandle;
  GlobalSharedLockedFree(ring->ItemsHandle, ring->ItemsStart);
  ring->~TCircularBuffer();
  GlobalSharedLockedFree(blockHandle, ring);
}

bool CircbufReadEvent(TCircularBuffer* ring, TMidiBufferItem& item) {
  // acquire: pairs with the producer's release, so the slot is complete before we copy it.
  if (ring->EventCount.load(std::memory_order_acquire) == 0) return false;
  item = *ring->ReadPosition;
  return true;
}

bool CircbufRemoveEvent(TCircularBuffer* ring) {
  // acquire: the count we test covers the slot we are about to give up.
  if (ring->EventCount.load(std::memory_order_acquire) == 0) return false;
  TMidiBufferItem* next = ring->ReadPosition + 1;
  ring->ReadPosition = next == ring->ItemsEnd ? ring->ItemsStart : next;
  // release: our copy of the slot is finished before the producer may refill it.
  ring->EventCount.fetch_sub(1, std::memory_order_release);
  return true;
}

}  // namespace velora
