// The driver callback of both MIDI components and the ring's producer side.
#pragma once

#include <atomic>
#include <cstdint>

#include "midi/Circbuf.h"
#include "platform/MessageWindow.h"

namespace velora {

// Window message codes between the callback and the components' hidden windows.
constexpr std::uint32_t WM_MIDIDATA = 963;       // entries waiting (the value of MIM_DATA)
constexpr std::uint32_t WM_RINGOVERFLOW = 1024;  // an entry was dropped (WM_USER)
constexpr std::uint32_t WM_MIDIOUTDONE = 969;    // a long message is done (MOM_DONE)

// The block a component hands the service as the callback's instance value.
struct TMidiCallbackInfo {
  HGLOBAL BlockHandle;
  TCircularBuffer* Ring;  // nullptr in an output component's block
  HWND NotifyWindow;
  // Written by the main thread at any time, read by the callback: relaxed bytes.
  std::atomic<std::uint8_t> SysexOnlyFlag;
  std::atomic<std::uint8_t> DropTimingClock;
  std::atomic<std::uint8_t> DropActiveSensing;
  // Sysex headers whose entry the full ring could not take, linked through lpNext; the
  // input component takes them back on the main thread and queues them again.
  std::atomic<MIDIHDR*> DroppedSysex;
};
static_assert(std::atomic<std::uint8_t>::is_always_lock_free);

// service thread: no allocation, no lock, no throw.
bool CircbufPutEvent(TCircularBuffer* ring, const TMidiBufferItem* item) noexcept;

// service thread: no allocation, no lock, no throw.
void midiHandler(std::uintptr_t handle, std::uint32_t msg, std::uintptr_t instance,
                 std::uintptr_t param1, std::uintptr_t param2) noexcept;

}  // namespace velora
