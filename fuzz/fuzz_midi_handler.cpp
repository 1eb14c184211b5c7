// Feeds midiHandler arbitrary message codes and parameters and checks what reaches the ring
// and the window against a plain model. A sysex code's param1 is always a header the service
// handed back (or 0): the callback is given nothing else.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>

#include "midi/Midicallback.h"

using namespace velora;

namespace {

struct Expected {
  std::uint32_t timeStamp;
  std::uint32_t packed;
  MIDIHDR* header;
};

template <typename T>
T Take(const std::uint8_t*& data, std::size_t& size) {
  T value{};
  const std::size_t n = size < sizeof(T) ? size : sizeof(T);
  std::memcpy(&value, data, n);
  data += n;
  size -= n;
  return value;
}

void Check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static MIDIHDR headers[8];
  std::size_t posted963 = 0, posted1024 = 0, posted969 = 0;
  std::uintptr_t last969 = 0;
  const HWND wnd = AllocateHWnd([&](TMessage& m) {
    if (m.Msg == WM_MIDIDATA) ++posted963;
    if (m.Msg == WM_RINGOVERFLOW) ++posted1024;
    if (m.Msg == WM_MIDIOUTDONE) {
      ++posted969;
      last969 = m.LParam;
    }
  });

  const auto capacity = static_cast<std::uint16_t>(1 + Take<std::uint8_t>(data, size) % 8);
  TCircularBuffer* ring = CircbufAlloc(capacity);
  HGLOBAL blockHandle = 0;
  auto* info =
      new (GlobalSharedLockedAlloc(sizeof(TMidiCallbackInfo), blockHandle)) TMidiCallbackInfo{};
  info->BlockHandle = blockHandle;
  const std::uint8_t flags = Take<std::uint8_t>(data, size);
  info->Ring = (flags & 8) ? nullptr : ring;
  info->NotifyWindow = wnd;
  info->SysexOnlyFlag.store(flags & 1);
  info->DropTimingClock.store((flags >> 1) & 1);
  info->DropActiveSensing.store((flags >> 2) & 1);

  std::deque<Expected> model;
  std::size_t want963 = 0, want1024 = 0, want969 = 0;
  while (size > 0) {
    const std::uint8_t op = Take<std::uint8_t>(data, size);
    if (op % 5 == 0) {  // the consumer takes one entry
      TMidiBufferItem item;
      const bool had = CircbufReadEvent(ring, item);
      Check(had == !model.empty());
      if (had) {
        Check(item.TimeStamp == model.front().timeStamp &&
              item.PackedMessage == model.front().packed &&
              item.SysexHeader == model.front().header);
        Check(CircbufRemoveEvent(ring));
        model.pop_front();
      }
      continue;
    }
    std::uint32_t msg = Take<std::uint32_t>(data, size);
    if (op % 5 == 1) msg = MIM_DATA + msg % 8;  // steer towards the codes that matter
    std::uintptr_t param1 = Take<std::uint32_t>(data, size);
    const std::uintptr_t param2 = Take<std::uint32_t>(data, size);
    if (op % 5 == 2) param1 = (param1 & 1) ? 0xF8 : 0xFE;
    const bool sysex = msg == MIM_LONGDATA || msg == MIM_LONGERROR;
    if (sysex)
      param1 = (param1 % 9 == 8) ? 0 : reinterpret_cast<std::uintptr_t>(&headers[param1 % 9]);

    const std::uintptr_t instance = (op % 31 == 30) ? 0 : reinterpret_cast<std::uintptr_t>(info);
    midiHandler(0, msg, instance, param1, param2);

    if (instance == 0) continue;
    if (msg == MIM_DATA || sysex) {
      if (param1 == 0xF8 && info->DropTimingClock.load()) continue;
      if (param1 == 0xFE && info->DropActiveSensing.load()) continue;
      if (msg == MIM_DATA && info->SysexOnlyFlag.load()) continue;
      if (!info->Ring || (sysex && param1 == 0)) continue;
      if (model.size() < capacity) {
        model.push_back({static_cast<std::uint32_t>(param2),
                         sysex ? 0u : static_cast<std::uint32_t>(param1),
                         sysex ? reinterpret_cast<MIDIHDR*>(param1) : nullptr});
        ++want963;
      } else {
        ++want1024;
      }
    } else if (msg == MOM_DONE) {
      ++want969;
    }
    Check(ring->EventCount.load() == model.size());
  }

  ProcessMessages();
  Check(posted963 == want963 && posted1024 == want1024 && posted969 == want969);
  (void)last969;

  DeallocateHWnd(wnd);
  info->~TMidiCallbackInfo();
  GlobalSharedLockedFree(blockHandle, info);
  CircbufFree(ring);
  return 0;
}
