// Shareable locked blocks and the fixed-capacity event ring: one producer (the service's
// callback thread, through CircbufPutEvent in Midicallback), one consumer (the main thread).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/MidiService.h"
#include "platform/SharedMemory.h"

namespace velora {

// The largest ring: the entry array stays within what a 16-bit size could ask for.
constexpr std::uint16_t CircbufMaxCapacity = 5461;

// Returns the locked address of a new zero-filled block and its handle, or nullptr (handle 0).
void* GlobalSharedLockedAlloc(std::size_t size, HGLOBAL& handle);
// Releases a block made by GlobalSharedLockedAlloc; handle 0 does nothing.
void GlobalSharedLockedFree(HGLOBAL handle, void* address);

struct TMidiBufferItem {
  std::uint32_t TimeStamp;
  std::uint32_t PackedMessage;  // 0 for a sysex entry
  MIDIHDR* SysexHeader;         // nullptr for a short message
};

struct TCircularBuffer {
  HGLOBAL BlockHandle;
  HGLOBAL ItemsHandle;
  TMidiBufferItem* ItemsStart;
  TMidiBufferItem* ItemsEnd;
  TMidiBufferItem* WritePosition;  // producer only
  TMidiBufferItem* ReadPosition;   // consumer only
  std::uint16_t MaxCount;
  std::atomic<std::uint16_t> EventCount;  // the one hand-over between the two threads
};
static_assert(std::atomic<std::uint16_t>::is_always_lock_free);

// nullptr for a capacity of 0 or above CircbufMaxCapacity, or when a block cannot be had.
TCircularBuffer* CircbufAlloc(std::uint16_t capacity);
void CircbufFree(TCircularBuffer* ring);
bool CircbufReadEvent(TCircularBuffer* ring, TMidiBufferItem& item);
bool CircbufRemoveEvent(TCircularBuffer* ring);

}  // namespace velora
