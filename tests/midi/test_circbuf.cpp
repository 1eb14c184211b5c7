// Shareable locked blocks, buffer headers and the event ring.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "midi/Circbuf.h"
#include "midi/MidiType.h"
#include "midi/Midicallback.h"

namespace velora {
namespace {

// Makes the n-th allocation from now fail and always switches failing off again.
struct FailAt {
  explicit FailAt(std::size_t n) { GlobalAllocFailAt(n); }
  ~FailAt() { GlobalAllocFailAt(0); }
};

TMidiBufferItem Short(std::uint32_t n) {
  return {n, n * 7 + 1, nullptr};
}

bool Put(TCircularBuffer* ring, std::uint32_t n) {
  const TMidiBufferItem item = Short(n);
  return CircbufPutEvent(ring, &item);
}

// Reads and removes the oldest entry; returns its time stamp.
std::uint32_t Take(TCircularBuffer* ring) {
  TMidiBufferItem item{};
  EXPECT_TRUE(CircbufReadEvent(ring, item));
  EXPECT_TRUE(CircbufRemoveEvent(ring));
  EXPECT_EQ(item.PackedMessage, item.TimeStamp * 7 + 1);
  return item.TimeStamp;
}

TEST(SharedBlock, IsZeroFilledAndReleasedByHandle) {
  const std::size_t live = GlobalLiveBlocks();
  HGLOBAL handle = 0;
  auto* bytes = static_cast<std::uint8_t*>(GlobalSharedLockedAlloc(300, handle));
  ASSERT_NE(bytes, nullptr);
  EXPECT_NE(handle, 0u);
  EXPECT_EQ(std::vector<std::uint8_t>(bytes, bytes + 300), std::vector<std::uint8_t>(300, 0));
  EXPECT_EQ(GlobalLiveBlocks(), live + 1);
  GlobalSharedLockedFree(handle, bytes);
  EXPECT_EQ(GlobalLiveBlocks(), live);

  GlobalSharedLockedFree(0, bytes);  // handle 0: nothing, even with an address
  EXPECT_EQ(GlobalLiveBlocks(), live);
}

TEST(SharedBlock, FailedAllocationYieldsNilAndHandleZero) {
  const std::size_t live = GlobalLiveBlocks();
  FailAt fail(1);
  HGLOBAL handle = 12345;
  EXPECT_EQ(GlobalSharedLockedAlloc(16, handle), nullptr);
  EXPECT_EQ(handle, 0u);
  EXPECT_EQ(GlobalLiveBlocks(), live);
}

TEST(MidiHdr, SizeZeroHoldsNothing) {
  const std::size_t live = GlobalLiveBlocks();
  {
    TMyMidiHdr hdr(0);
    EXPECT_EQ(hdr.HeaderHandle, 0u);
    EXPECT_EQ(hdr.Header, nullptr);
    EXPECT_EQ(hdr.DataHandle, 0u);
    EXPECT_EQ(hdr.DataBuffer, nullptr);
    EXPECT_EQ(GlobalLiveBlocks(), live);
  }
  EXPECT_EQ(GlobalLiveBlocks(), live);
}

TEST(MidiHdr, NewHeaderDescribesItsZeroedDataBlock) {
  const std::size_t live = GlobalLiveBlocks();
  for (std::uint16_t size : {std::uint16_t{1}, std::uint16_t{1024}, std::uint16_t{65535}}) {
    SCOPED_TRACE(size);
    auto* hdr = new TMyMidiHdr(size);
    EXPECT_EQ(GlobalLiveBlocks(), live + 2);
    ASSERT_NE(hdr->Header, nullptr);
    EXPECT_NE(hdr->HeaderHandle, 0u);
    EXPECT_NE(hdr->DataHandle, 0u);
    EXPECT_EQ(hdr->Header->lpData, hdr->DataBuffer);
    EXPECT_EQ(hdr->Header->dwBufferLength, size);
    EXPECT_EQ(hdr->Header->dwBytesRecorded, 0u);
    EXPECT_EQ(hdr->Header->dwUser, 0u);
    EXPECT_EQ(hdr->Header->dwFlags, 0u);
    EXPECT_EQ(hdr->Header->dwOffset, 0u);
    EXPECT_EQ(hdr->Header->lpNext, nullptr);
    EXPECT_EQ(std::vector<std::uint8_t>(hdr->DataBuffer, hdr->DataBuffer + size),
              std::vector<std::uint8_t>(size, 0));
    delete hdr;
    EXPECT_EQ(GlobalLiveBlocks(), live);
  }
}

TEST(MidiHdr, FailedBlockRaisesAndLeavesNothingLive) {
  const std::size_t live = GlobalLiveBlocks();
  for (std::size_t failing : {1u, 2u}) {  // the header block, then the data block
    SCOPED_TRACE(failing);
    FailAt fail(failing);
    EXPECT_THROW(TMyMidiHdr(64), Exception);
    EXPECT_EQ(GlobalLiveBlocks(), live);
  }
}

TEST(Circbuf, UnsupportedCapacitiesAreRefused) {
  const std::size_t live = GlobalLiveBlocks();
  for (std::uint16_t capacity : {std::uint16_t{0}, std::uint16_t{5462}, std::uint16_t{65535}}) {
    EXPECT_EQ(CircbufAlloc(capacity), nullptr) << capacity;
    EXPECT_EQ(GlobalLiveBlocks(), live);
  }
  TCircularBuffer* largest = CircbufAlloc(5461);
  ASSERT_NE(largest, nullptr);
  EXPECT_EQ(largest->MaxCount, 5461);
  EXPECT_EQ(largest->ItemsEnd - largest->ItemsStart, 5461);
  for (std::uint32_t n = 0; n < 5461; ++n) ASSERT_TRUE(Put(largest, n));
  EXPECT_FALSE(Put(largest, 5461));
  CircbufFree(largest);
  EXPECT_EQ(GlobalLiveBlocks(), live);
  CircbufFree(nullptr);
}

TEST(Circbuf, FailureAtEitherBlockLeavesNothing) {
  const std::size_t live = GlobalLiveBlocks();
  for (std::size_t failing : {1u, 2u}) {  // the record, then the entry array
    SCOPED_TRACE(failing);
    FailAt fail(failing);
    EXPECT_EQ(CircbufAlloc(16), nullptr);
    EXPECT_EQ(GlobalLiveBlocks(), live);
  }
}

TEST(Circbuf, NewRingIsEmptyAndHandlesItsBlocks) {
  const std::size_t live = GlobalLiveBlocks();
  TCircularBuffer* ring = CircbufAlloc(4);
  ASSERT_NE(ring, nullptr);
  EXPECT_EQ(GlobalLiveBlocks(), live + 2);
  EXPECT_NE(ring->BlockHandle, 0u);
  EXPECT_NE(ring->ItemsHandle, 0u);
  EXPECT_EQ(GlobalLock(ring->BlockHandle), ring);  // the record sits in its own block
  GlobalUnlock(ring->BlockHandle);
  EXPECT_EQ(ring->ReadPosition, ring->ItemsStart);
  EXPECT_EQ(ring->WritePosition, ring->ItemsStart);
  EXPECT_EQ(ring->EventCount.load(), 0);

  TMidiBufferItem item{1, 2, nullptr};
  EXPECT_FALSE(CircbufReadEvent(ring, item));
  EXPECT_EQ(item.TimeStamp, 1u);  // untouched
  EXPECT_EQ(item.PackedMessage, 2u);
  EXPECT_FALSE(CircbufRemoveEvent(ring));
  EXPECT_EQ(ring->ReadPosition, ring->ItemsStart);
  CircbufFree(ring);
  EXPECT_EQ(GlobalLiveBlocks(), live);
}

class CircbufCapacity : public ::testing::TestWithParam<std::uint16_t> {
 protected:
  void SetUp() override { ring = CircbufAlloc(GetParam()); }
  void TearDown() override { CircbufFree(ring); }
  TCircularBuffer* ring = nullptr;
};

TEST_P(CircbufCapacity, TakesExactlyItsCapacityThenRefusesWithoutChange) {
  const std::uint16_t n = GetParam();
  ASSERT_NE(ring, nullptr);
  for (std::uint32_t i = 0; i < n; ++i) ASSERT_TRUE(Put(ring, i));
  EXPECT_EQ(ring->EventCount.load(), n);

  TMidiBufferItem before[2] = {*ring->ItemsStart, *(ring->ItemsEnd - 1)};
  EXPECT_FALSE(Put(ring, 999999));
  EXPECT_EQ(ring->EventCount.load(), n);
  EXPECT_EQ(ring->WritePosition, ring->ItemsStart);
  EXPECT_EQ(ring->ReadPosition, ring->ItemsStart);
  EXPECT_EQ(std::memcmp(&before[0], ring->ItemsStart, sizeof(TMidiBufferItem)), 0);
  EXPECT_EQ(std::memcmp(&before[1], ring->ItemsEnd - 1, sizeof(TMidiBufferItem)), 0);

  EXPECT_EQ(Take(ring), 0u);  // one slot free again
  EXPECT_TRUE(Put(ring, n));
  EXPECT_FALSE(Put(ring, n + 1));
}

TEST_P(CircbufCapacity, KeepsOrderAcrossWrapsAndReturnsHome) {
  const std::uint16_t n = GetParam();
  ASSERT_NE(ring, nullptr);
  // Put and remove one by one: after n rounds both positions are home again.
  for (std::uint32_t i = 0; i < n; ++i) {
    ASSERT_TRUE(Put(ring, i));
    EXPECT_EQ(Take(ring), i);
  }
  EXPECT_EQ(ring->ReadPosition, ring->ItemsStart);
  EXPECT_EQ(ring->WritePosition, ring->ItemsStart);

  // Keep the ring partly filled while it wraps several times.
  const std::uint32_t keep = n / 2;
  std::uint32_t next = 0, expected = 0;
  while (next < keep) ASSERT_TRUE(Put(ring, next++));
  for (std::uint32_t round = 0; round < 3u * n; ++round) {
    ASSERT_TRUE(Put(ring, next++)) << round;
    ASSERT_EQ(Take(ring), expected++);
  }
  while (expected < next) ASSERT_EQ(Take(ring), expected++);
  EXPECT_EQ(ring->EventCount.load(), 0);
  EXPECT_FALSE(CircbufRemoveEvent(ring));
}

TEST_P(CircbufCapacity, ReadWithoutRemoveYieldsTheSameEntry) {
  ASSERT_NE(ring, nullptr);
  MIDIHDR header{};
  const TMidiBufferItem sysex{42, 0, &header};
  ASSERT_TRUE(CircbufPutEvent(ring, &sysex));
  if (GetParam() > 1) {
    ASSERT_TRUE(Put(ring, 7));
  }
  TMidiBufferItem first{}, second{};
  ASSERT_TRUE(CircbufReadEvent(ring, first));
  ASSERT_TRUE(CircbufReadEvent(ring, second));
  EXPECT_EQ(first.TimeStamp, 42u);
  EXPECT_EQ(first.SysexHeader, &header);
  EXPECT_EQ(second.TimeStamp, 42u);
  EXPECT_EQ(second.SysexHeader, &header);
  EXPECT_EQ(second.PackedMessage, 0u);
}

INSTANTIATE_TEST_SUITE_P(Capacities, CircbufCapacity, ::testing::Values(1, 2, 7, 64, 5461));

}  // namespace
}  // namespace velora
