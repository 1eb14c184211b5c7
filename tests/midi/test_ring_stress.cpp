// Millions of short messages from a service thread through the callback into a ring of 64,
// drained on this thread through the posted notifications as the translator does: every entry
// arrives once and in order or is reported as overflow, and every notification arrives.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstdio>
#include <new>
#include <string>
#include <thread>

#include "midi/Midicallback.h"

namespace velora {
namespace {

std::uint32_t EntriesToSend() {
  const char* text = std::getenv("VELORA_STRESS_ENTRIES");
  const long long n = text ? std::atoll(text) : 0;
  return n > 0 ? static_cast<std::uint32_t>(n) : 10'000'000u;
}

TEST(RingStress, EveryEntryArrivesOnceInOrderOrCountsAsOverflow) {
  const std::uint32_t sent = EntriesToSend();
  ProcessMessages();

  TCircularBuffer* ring = CircbufAlloc(64);
  ASSERT_NE(ring, nullptr);
  std::uint64_t data = 0, overflow = 0, delivered = 0, outOfOrder = 0, mismatched = 0;
  std::int64_t last = -1;
  const HWND window = AllocateHWnd([&](TMessage& m) {
    if (m.Msg == WM_RINGOVERFLOW) {
      ++overflow;
      return;
    }
    ++data;
    TMidiBufferItem item;
    while (CircbufReadEvent(ring, item)) {
      // The packed value and the time stamp both carry the sequence number.
      if (static_cast<std::int64_t>(item.PackedMessage) <= last) ++outOfOrder;
      if (item.TimeStamp != item.PackedMessage || item.SysexHeader) ++mismatched;
      last = item.PackedMessage;
      ++delivered;
      CircbufRemoveEvent(ring);
    }
  });
  ASSERT_NE(window, 0u);

  HGLOBAL infoHandle = 0;
  void* block = GlobalSharedLockedAlloc(sizeof(TMidiCallbackInfo), infoHandle);
  ASSERT_NE(block, nullptr);
  auto* info = new (block) TMidiCallbackInfo{};
  info->BlockHandle = infoHandle;
  info->Ring = ring;
  info->NotifyWindow = window;
  const auto instance = reinterpret_cast<std::uintptr_t>(info);

  std::atomic<bool> done{false};
  std::thread service([&] {
    // No filter flag is set, so 0xF8 and 0xFE pass like every other value.
    for (std::uint32_t n = 0; n < sent; ++n) midiHandler(1, MIM_DATA, instance, n, n);
    done.store(true);
  });

  // Drain until every notification is in. A wake-up that never comes ends the wait, and
  // what the loop then never saw is counted as missed instead of the test hanging.
  while (!(done.load() && data + overflow == sent)) {
    if (!WaitMessage(10000)) break;
    ProcessMessages();
  }
  service.join();
  const std::size_t missed = ProcessMessages();

  EXPECT_EQ(missed, 0u) << "notifications waited without a wake-up";
  EXPECT_EQ(outOfOrder, 0u);
  EXPECT_EQ(mismatched, 0u);
  EXPECT_EQ(delivered + overflow, sent);
  EXPECT_EQ(data, delivered);  // one notification per stored entry
  EXPECT_EQ(data + overflow, sent);
  EXPECT_EQ(ring->EventCount.load(), 0);
  std::printf("sent %u, delivered %llu, overflow %llu, counted posts %zu\n", sent,
              static_cast<unsigned long long>(delivered), static_cast<unsigned long long>(overflow),
              MessageOverflowPosts());

  DeallocateHWnd(window);
  GlobalSharedLockedFree(infoHandle, info);
  CircbufFree(ring);
}

}  // namespace
}  // namespace velora
