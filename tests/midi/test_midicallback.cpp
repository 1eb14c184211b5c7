// The driver callback relay: filters, ring entries and the notifications it posts.
#include <gtest/gtest.h>

#include <new>
#include <vector>

#include "midi/Midicallback.h"

namespace velora {
namespace {

struct Posted {
  std::uint32_t Msg;
  std::uintptr_t WParam;
  std::uintptr_t LParam;
  bool operator==(const Posted&) const = default;
};

// A callback block over a small ring, and a window that records what reaches it.
class Relay : public ::testing::Test {
 protected:
  static constexpr std::uint16_t kCapacity = 3;

  void SetUp() override {
    ProcessMessages();  // nothing left over from elsewhere
    ring = CircbufAlloc(kCapacity);
    ASSERT_NE(ring, nullptr);
    window = AllocateHWnd([this](TMessage& m) { posted.push_back({m.Msg, m.WParam, m.LParam}); });
    ASSERT_NE(window, 0u);
    void* block = GlobalSharedLockedAlloc(sizeof(TMidiCallbackInfo), infoHandle);
    ASSERT_NE(block, nullptr);
    info = new (block) TMidiCallbackInfo{};
    info->BlockHandle = infoHandle;
    info->Ring = ring;
    info->NotifyWindow = window;
  }
  void TearDown() override {
    ProcessMessages();
    DeallocateHWnd(window);
    GlobalSharedLockedFree(infoHandle, info);
    CircbufFree(ring);
  }

  void Call(std::uint32_t code, std::uintptr_t param1, std::uintptr_t param2 = 0) {
    midiHandler(0x1234, code, reinterpret_cast<std::uintptr_t>(info), param1, param2);
  }
  std::vector<Posted> Drain() {
    posted.clear();
    ProcessMessages();
    return posted;
  }
  std::vector<TMidiBufferItem> Entries() {
    std::vector<TMidiBufferItem> items;
    TMidiBufferItem item;
    while (CircbufReadEvent(ring, item)) {
      items.push_back(item);
      CircbufRemoveEvent(ring);
    }
    return items;
  }

  TCircularBuffer* ring = nullptr;
  HWND window = 0;
  HGLOBAL infoHandle = 0;
  TMidiCallbackInfo* info = nullptr;
  std::vector<Posted> posted;
};

const Posted kData{WM_MIDIDATA, 0, 0};
const Posted kOverflow{WM_RINGOVERFLOW, 0, 0};

struct FilterCase {
  const char* What;
  std::uint8_t SysexOnly, DropClock, DropSensing;
  std::uint32_t Code;
  std::uintptr_t Param1;  // 0: a header's address is used
  bool Queued;
};

TEST_F(Relay, FiltersDecideWhatIsQueuedAndAnnounced) {
  MIDIHDR header{};
  const auto headerAddress = reinterpret_cast<std::uintptr_t>(&header);
  const FilterCase cases[] = {
      {"clock dropped", 0, 1, 0, MIM_DATA, 0xF8, false},
      {"clock kept without its flag", 0, 0, 1, MIM_DATA, 0xF8, true},
      {"quarter frame is not the clock", 0, 1, 1, MIM_DATA, 0xF1, true},
      {"whole value must match", 0, 1, 1, MIM_DATA, 0x1F8, true},
      {"sensing dropped", 0, 0, 1, MIM_DATA, 0xFE, false},
      {"sensing kept without its flag", 0, 1, 0, MIM_DATA, 0xFE, true},
      {"short dropped when sysex only", 1, 0, 0, MIM_DATA, 0x403C90, false},
      {"short kept otherwise", 0, 1, 1, MIM_DATA, 0x403C90, true},
      {"sysex kept when sysex only", 1, 1, 1, MIM_LONGDATA, 0, true},
      {"sysex error kept when sysex only", 1, 1, 1, MIM_LONGERROR, 0, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.What);
    info->SysexOnlyFlag = c.SysexOnly;
    info->DropTimingClock = c.DropClock;
    info->DropActiveSensing = c.DropSensing;
    const std::uintptr_t param1 = c.Param1 ? c.Param1 : headerAddress;
    Call(c.Code, param1, 5000);
    const auto entries = Entries();
    EXPECT_EQ(Drain(), c.Queued ? std::vector<Posted>{kData} : std::vector<Posted>{});
    ASSERT_EQ(entries.size(), c.Queued ? 1u : 0u);
    if (!c.Queued) continue;
    EXPECT_EQ(entries[0].TimeStamp, 5000u);
    if (c.Code == MIM_DATA) {
      EXPECT_EQ(entries[0].PackedMessage, param1);
      EXPECT_EQ(entries[0].SysexHeader, nullptr);
    } else {
      EXPECT_EQ(entries[0].PackedMessage, 0u);
      EXPECT_EQ(entries[0].SysexHeader, &header);
    }
  }
}

TEST_F(Relay, NothingHappensWithoutBlockRingOrHeader) {
  MIDIHDR header{};
  midiHandler(0x1234, MIM_DATA, 0, 0x403C90, 1);
  midiHandler(0x1234, MOM_DONE, 0, reinterpret_cast<std::uintptr_t>(&header), 0);

  // A sysex report without a header would make an entry that reads as a short message.
  Call(MIM_LONGDATA, 0, 1);
  Call(MIM_LONGERROR, 0, 1);

  info->Ring = nullptr;  // an output component's block
  for (std::uint32_t code : {MIM_DATA, MIM_LONGDATA, MIM_LONGERROR})
    Call(code, reinterpret_cast<std::uintptr_t>(&header), 1);
  info->Ring = ring;
  EXPECT_TRUE(Entries().empty());
  EXPECT_TRUE(Drain().empty());
}

TEST_F(Relay, OtherCodesAreIgnored) {
  MIDIHDR header{};
  for (std::uint32_t code : {MIM_OPEN, MIM_CLOSE, MIM_ERROR, MOM_OPEN, MOM_CLOSE, 0u, 970u})
    Call(code, reinterpret_cast<std::uintptr_t>(&header), 1);
  EXPECT_TRUE(Entries().empty());
  EXPECT_TRUE(Drain().empty());
}

TEST_F(Relay, DoneIsRelayedWithItsHeaderAddressUnchanged) {
  info->Ring = nullptr;
  const std::uintptr_t address = sizeof(std::uintptr_t) == 8
                                     ? static_cast<std::uintptr_t>(0xFEDCBA9876543210ull)
                                     : 0x87654321u;
  Call(MOM_DONE, address, 77);
  EXPECT_EQ(Drain(), (std::vector<Posted>{{WM_MIDIOUTDONE, 0, address}}));
}

TEST_F(Relay, FullRingPostsOneOverflowPerDroppedEntryAndKeepsDroppedSysex) {
  MIDIHDR first{}, second{};
  for (std::uint32_t n = 0; n < kCapacity; ++n) Call(MIM_DATA, 0x90 + n, n);
  EXPECT_EQ(Drain(), std::vector<Posted>(kCapacity, kData));

  Call(MIM_DATA, 0x99, 10);
  Call(MIM_LONGDATA, reinterpret_cast<std::uintptr_t>(&first), 11);
  Call(MIM_LONGERROR, reinterpret_cast<std::uintptr_t>(&second), 12);
  EXPECT_EQ(Drain(), std::vector<Posted>(3, kOverflow));
  EXPECT_EQ(ring->EventCount.load(), kCapacity);

  // Dropped sysex headers are kept, newest first, linked through lpNext.
  MIDIHDR* dropped = info->DroppedSysex.exchange(nullptr);
  ASSERT_EQ(dropped, &second);
  EXPECT_EQ(dropped->lpNext, &first);
  EXPECT_EQ(first.lpNext, nullptr);

  // One removed entry makes room for exactly one more.
  TMidiBufferItem item;
  ASSERT_TRUE(CircbufReadEvent(ring, item));
  EXPECT_EQ(item.PackedMessage, 0x90u);
  ASSERT_TRUE(CircbufRemoveEvent(ring));
  Call(MIM_DATA, 0xA0, 20);
  Call(MIM_DATA, 0xA1, 21);
  EXPECT_EQ(Drain(), (std::vector<Posted>{kData, kOverflow}));

  std::vector<std::uint32_t> packed;
  for (const auto& e : Entries()) packed.push_back(e.PackedMessage);
  EXPECT_EQ(packed, (std::vector<std::uint32_t>{0x91, 0x92, 0xA0}));
  EXPECT_EQ(info->DroppedSysex.load(), nullptr);  // short entries are simply lost
}

}  // namespace
}  // namespace velora
