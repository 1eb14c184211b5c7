#include "midi/Midicallback.h"

namespace velora {

// service thread: no allocation, no lock, no throw.
bool CircbufPutEvent(TCircularBuffer* ring, const TMidiBufferItem* item) noexcept {
  // acquire: the consumer's copy of a freed slot is complete before we overwrite it.
  if (ring->EventCount.load(std::memory_order_acquire) >= ring->MaxCount) return false;
  *ring->WritePosition = *item;
  TMidiBufferItem* next = ring->WritePosition + 1;
  ring->WritePosition = next == ring->ItemsEnd ? ring->ItemsStart : next;
  // release: publishes the slot's contents with the raised count.
  ring->EventCount.fetch_add(1, std::memory_order_release);
  return true;
}

namespace {

// service thread: no allocation, no lock, no throw.
void KeepDroppedSysex(TMidiCallbackInfo& info, MIDIHDR* header) noexcept {
  MIDIHDR* head = info.DroppedSysex.load(std::memory_order_relaxed);
  do {
    header->lpNext = head;
    // release: the link is written before the main thread can take the header.
  } while (!info.DroppedSysex.compare_exchange_weak(head, header, std::memory_order_release,
                                                    std::memory_order_relaxed));
}

}  // namespace

// service thread: no allocation, no lock, no throw.
void midiHandler(std::uintptr_t /*handle*/, std::uint32_t msg, std::uintptr_t instance,
                 std::uintptr_t param1, std::uintptr_t param2) noexcept {
  auto* info = reinterpret_cast<TMidiCallbackInfo*>(instance);
  if (!info) return;
  switch (msg) {
    case MIM_DATA:
    case MIM_LONGDATA:
    case MIM_LONGERROR: {
      // relaxed: each flag byte stands alone; a change applies from the next message on.
      if (param1 == 0xF8 && info->DropTimingClock.load(std::memory_order_relaxed) == 1) return;
      if (param1 == 0xFE && info->DropActiveSensing.load(std::memory_order_relaxed) == 1) return;
      if (msg == MIM_DATA && info->SysexOnlyFlag.load(std::memory_order_relaxed) == 1) return;
      if (!info->Ring) return;
      if (msg != MIM_DATA && param1 == 0) return;  // no header: nothing to hand over
      TMidiBufferItem item;
      item.TimeStamp = static_cast<std::uint32_t>(param2);
      if (msg == MIM_DATA) {
        item.PackedMessage = static_cast<std::uint32_t>(param1);
        item.SysexHeader = nullptr;
      } else {
        item.PackedMessage = 0;
        item.SysexHeader = reinterpret_cast<MIDIHDR*>(param1);
      }
      if (CircbufPutEvent(info->Ring, &item)) {
        PostMessage(info->NotifyWindow, WM_MIDIDATA, 0, 0);
      } else {
        if (item.SysexHeader) KeepDroppedSysex(*info, item.SysexHeader);
        PostMessage(info->NotifyWindow, WM_RINGOVERFLOW, 0, 0);
      }
      return;
    }
    case MOM_DONE:
      PostMessage(info->NotifyWindow, WM_MIDIOUTDONE, 0, param1);
      return;
    default:
      return;
  }
}

}  // namespace velora
