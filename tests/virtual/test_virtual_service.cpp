#include "platform/virtual/VirtualMidiService.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <deque>
#include <functional>
#include <stdexcept>
#include <thread>
#include <vector>

namespace velora {
namespace {

struct TCallRecord {
  std::uintptr_t Handle;
  std::uint32_t Msg;
  std::uintptr_t Instance;
  std::uintptr_t Param1;
  std::uintptr_t Param2;
  std::thread::id Thread;
  bool AfterClose;  // the test had already seen close return
};

// Written by the service thread only; the test reads it after WaitIdle or an acquire of Count.
struct TRecorder {
  static constexpr std::size_t Capacity = 4096;
  std::array<TCallRecord, Capacity> Calls{};
  std::atomic<std::size_t> Count{0};
  std::atomic<bool> Closed{false};

  std::size_t Size() const {
    return Count.load(std::memory_order_acquire);  // acquire: pairs with the release in Record
  }
  const TCallRecord& operator[](std::size_t i) const { return Calls[i]; }
};

// service thread: no allocation, no lock, no throw.
void Record(std::uintptr_t handle, std::uint32_t msg, std::uintptr_t instance,
            std::uintptr_t param1, std::uintptr_t param2) {
  auto* r = reinterpret_cast<TRecorder*>(instance);
  // relaxed: the service thread is the only writer of Count.
  const std::size_t i = r->Count.load(std::memory_order_relaxed);
  if (i >= TRecorder::Capacity) return;
  // acquire: sees the test's note that close has returned.
  const bool afterClose = r->Closed.load(std::memory_order_acquire);
  r->Calls[i] = {handle, msg, instance, param1, param2, std::this_thread::get_id(), afterClose};
  r->Count.store(i + 1, std::memory_order_release);  // release: publishes the entry above
}

struct TBuffer {
  explicit TBuffer(std::size_t size) : Data(size) {
    Header.lpData = Data.data();
    Header.dwBufferLength = static_cast<std::uint32_t>(size);
  }
  std::vector<std::uint8_t> Data;
  MIDIHDR Header{};
};

TVirtualInputDevice InputNamed(const char* name) {
  TVirtualInputDevice d;
  d.Name = name;
  return d;
}

TVirtualOutputDevice OutputNamed(const char* name, std::uint32_t support) {
  TVirtualOutputDevice d;
  d.Name = name;
  d.Support = support;
  return d;
}

// Two inputs; output 0 supports volume and caching, output 1 nothing.
struct TRig {
  TRig() {
    S.AddInput(InputNamed("Keys In"));
    S.AddInput(InputNamed("Pad In"));
    S.AddOutput(OutputNamed("Synth Out", MIDICAPS_VOLUME | MIDICAPS_CACHE));
    S.AddOutput(OutputNamed("Plain Out", 0));
  }

  HMIDIIN OpenIn(std::uint32_t id = 0) {
    HMIDIIN h = nullptr;
    EXPECT_EQ(
        S.midiInOpen(&h, id, Record, reinterpret_cast<std::uintptr_t>(&In), CALLBACK_FUNCTION),
        MMSYSERR_NOERROR);
    return h;
  }
  HMIDIOUT OpenOut(std::uint32_t id = 0) {
    HMIDIOUT h = nullptr;
    EXPECT_EQ(
        S.midiOutOpen(&h, id, Record, reinterpret_cast<std::uintptr_t>(&Out), CALLBACK_FUNCTION),
        MMSYSERR_NOERROR);
    return h;
  }
  MIDIHDR* Buffer(std::size_t size) { return &Buffers.emplace_back(size).Header; }
  MIDIHDR* Queued(HMIDIIN h, std::size_t size) {
    MIDIHDR* b = Buffer(size);
    EXPECT_EQ(S.midiInPrepareHeader(h, b, MIDIHDR_SIZE), MMSYSERR_NOERROR);
    EXPECT_EQ(S.midiInAddBuffer(h, b, MIDIHDR_SIZE), MMSYSERR_NOERROR);
    return b;
  }
  MIDIHDR* Sent(HMIDIOUT h, std::vector<std::uint8_t> bytes) {
    MIDIHDR* b = Buffer(bytes.size());
    std::memcpy(b->lpData, bytes.data(), bytes.size());
    EXPECT_EQ(S.midiOutPrepareHeader(h, b, MIDIHDR_SIZE), MMSYSERR_NOERROR);
    EXPECT_EQ(S.midiOutLongMsg(h, b, MIDIHDR_SIZE), MMSYSERR_NOERROR);
    return b;
  }

  TRecorder In;
  TRecorder Out;
  std::deque<TBuffer> Buffers;
  TVirtualMidiService S;  // last: destroyed first, while recorders and buffers still exist
};

class VirtualServiceTest : public ::testing::Test, protected TRig {};

std::uintptr_t Address(const void* p) {
  return reinterpret_cast<std::uintptr_t>(p);
}

TEST(VirtualService, StateRules) {
  struct TCase {
    const char* Name;
    std::function<MMRESULT(TRig&)> Run;
    MMRESULT Expected;
  };
  const std::vector<TCase> cases = {
      {"add an unprepared buffer",
       [](TRig& r) { return r.S.midiInAddBuffer(r.OpenIn(), r.Buffer(8), MIDIHDR_SIZE); },
       MIDIERR_UNPREPARED},
      {"send an unprepared long message",
       [](TRig& r) { return r.S.midiOutLongMsg(r.OpenOut(), r.Buffer(8), MIDIHDR_SIZE); },
       MIDIERR_UNPREPARED},
      {"add a buffer prepared on another input",
       [](TRig& r) {
         MIDIHDR* b = r.Buffer(8);
         EXPECT_EQ(r.S.midiInPrepareHeader(r.OpenIn(1), b, MIDIHDR_SIZE), 0u);
         return r.S.midiInAddBuffer(r.OpenIn(0), b, MIDIHDR_SIZE);
       },
       MIDIERR_UNPREPARED},
      {"add a buffer twice",
       [](TRig& r) {
         HMIDIIN h = r.OpenIn();
         return r.S.midiInAddBuffer(h, r.Queued(h, 8), MIDIHDR_SIZE);
       },
       MIDIERR_STILLPLAYING},
      {"unprepare a queued buffer",
       [](TRig& r) {
         HMIDIIN h = r.OpenIn();
         return r.S.midiInUnprepareHeader(h, r.Queued(h, 8), MIDIHDR_SIZE);
       },
       MIDIERR_STILLPLAYING},
      {"close an input with buffers queued",
       [](TRig& r) {
         HMIDIIN h = r.OpenIn();
         r.Queued(h, 8);
         return r.S.midiInClose(h);
       },
       MIDIERR_STILLPLAYING},
      {"close an output with a long message in flight",
       [](TRig& r) {
         r.S.HoldLongDone(true);
         HMIDIOUT h = r.OpenOut();
         r.Sent(h, {0xF0, 0xF7});
         return r.S.midiOutClose(h);
       },
       MIDIERR_STILLPLAYING},
      {"unprepare a long message in flight",
       [](TRig& r) {
         r.S.HoldLongDone(true);
         HMIDIOUT h = r.OpenOut();
         return r.S.midiOutUnprepareHeader(h, r.Sent(h, {0xF0, 0xF7}), MIDIHDR_SIZE);
       },
       MIDIERR_STILLPLAYING},
      {"prepare again a buffer that came back",
       [](TRig& r) {
         HMIDIIN h = r.OpenIn();
         MIDIHDR* b = r.Queued(h, 8);
         EXPECT_EQ(r.S.midiInReset(h), 0u);
         return r.S.midiInPrepareHeader(h, b, MIDIHDR_SIZE);
       },
       MMSYSERR_NOERROR},
      {"start a closed handle",
       [](TRig& r) {
         HMIDIIN h = r.OpenIn();
         EXPECT_EQ(r.S.midiInClose(h), 0u);
         return r.S.midiInStart(h);
       },
       MMSYSERR_INVALHANDLE},
      {"input call with an output handle",
       [](TRig& r) { return r.S.midiInStart(reinterpret_cast<HMIDIIN>(r.OpenOut())); },
       MMSYSERR_INVALHANDLE},
      {"short message without a handle", [](TRig& r) { return r.S.midiOutShortMsg(nullptr, 0x90); },
       MMSYSERR_INVALHANDLE},
      {"cache patches on a closed handle",
       [](TRig& r) {
         HMIDIOUT h = r.OpenOut();
         EXPECT_EQ(r.S.midiOutClose(h), 0u);
         std::uint16_t patches[128] = {};
         return r.S.midiOutCachePatches(h, 0, patches, 0);
       },
       MMSYSERR_INVALHANDLE},
      {"open an unknown input",
       [](TRig& r) {
         HMIDIIN h = nullptr;
         return r.S.midiInOpen(&h, 2, Record, 0, CALLBACK_FUNCTION);
       },
       MMSYSERR_BADDEVICEID},
      {"open the mapper when there is none",
       [](TRig& r) {
         HMIDIOUT h = nullptr;
         return r.S.midiOutOpen(&h, MIDI_MAPPER, Record, 0, CALLBACK_FUNCTION);
       },
       MMSYSERR_BADDEVICEID},
      {"volume of an unknown output",
       [](TRig& r) {
         std::uint32_t v = 0;
         return r.S.midiOutGetVolume(2, &v);
       },
       MMSYSERR_BADDEVICEID},
      {"driver message to an unknown output",
       [](TRig& r) { return r.S.midiOutMessage(7, 0, 0, 0); }, MMSYSERR_BADDEVICEID},
      {"open an open input",
       [](TRig& r) {
         r.OpenIn();
         HMIDIIN h = nullptr;
         return r.S.midiInOpen(&h, 0, Record, 0, CALLBACK_FUNCTION);
       },
       MMSYSERR_ALLOCATED},
      {"callback with flags other than a function callback",
       [](TRig& r) {
         HMIDIIN h = nullptr;
         return r.S.midiInOpen(&h, 0, Record, 0, 0x10000);
       },
       MMSYSERR_INVALFLAG},
      {"header of the wrong size",
       [](TRig& r) { return r.S.midiInPrepareHeader(r.OpenIn(), r.Buffer(8), 63); },
       MMSYSERR_INVALPARAM},
      {"no header", [](TRig& r) { return r.S.midiOutPrepareHeader(r.OpenOut(), nullptr, 64); },
       MMSYSERR_INVALPARAM},
      {"header without data",
       [](TRig& r) {
         MIDIHDR empty{};
         return r.S.midiInPrepareHeader(r.OpenIn(), &empty, MIDIHDR_SIZE);
       },
       MMSYSERR_INVALPARAM},
      {"input capabilities with the output record size",
       [](TRig& r) {
         MIDIINCAPS caps;
         return r.S.midiInGetDevCapsA(0, &caps, MIDIOUTCAPS_SIZE);
       },
       MMSYSERR_INVALPARAM},
      {"output capabilities with the input record size",
       [](TRig& r) {
         MIDIOUTCAPS caps;
         return r.S.midiOutGetDevCapsA(0, &caps, MIDIINCAPS_SIZE);
       },
       MMSYSERR_INVALPARAM},
      {"volume of an output without volume",
       [](TRig& r) { return r.S.midiOutSetVolume(1, 0x8000'8000); }, MMSYSERR_NOTSUPPORTED},
      {"cache patches without caching",
       [](TRig& r) {
         std::uint16_t patches[128] = {};
         return r.S.midiOutCachePatches(r.OpenOut(1), 0, patches, 0);
       },
       MMSYSERR_NOTSUPPORTED},
      {"driver message to an existing output",
       [](TRig& r) { return r.S.midiOutMessage(0, 0x800, 0, 0); }, MMSYSERR_NOTSUPPORTED},
      {"long message beyond 4096 in flight",
       [](TRig& r) {
         r.S.HoldLongDone(true);
         HMIDIOUT h = r.OpenOut();
         for (int i = 0; i < 4096; ++i) r.Sent(h, {0xF0, 0xF7});
         MIDIHDR* extra = r.Buffer(2);
         EXPECT_EQ(r.S.midiOutPrepareHeader(h, extra, MIDIHDR_SIZE), 0u);
         return r.S.midiOutLongMsg(h, extra, MIDIHDR_SIZE);
       },
       MIDIERR_NOTREADY},
      {"error text of an unknown code",
       [](TRig& r) {
         char text[128];
         return r.S.midiOutGetErrorTextA(999, text, sizeof text);
       },
       MMSYSERR_BADERRNUM},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TRig rig;  // left with devices open: the service must tidy up on its own
    EXPECT_EQ(c.Run(rig), c.Expected);
  }
}

TEST_F(VirtualServiceTest, InputIsDeliveredInOrderOnlyWhileStarted) {
  HMIDIIN h = OpenIn();
  MIDIHDR* b = Queued(h, 16);
  S.SendShort(0, 0x90, 1, 1);  // not started: dropped
  ASSERT_EQ(S.midiInStart(h), 0u);
  S.SendShort(0, 0x90, 60, 100);
  S.SendSysex(0, {0xF0, 0x01, 0xF7});
  S.SendShort(0, 0x00403C80u);
  S.SendShort(1, 0x90, 2, 2);  // input 1 is not open: dropped
  ASSERT_EQ(S.midiInStop(h), 0u);
  S.SendShort(0, 0x90, 3, 3);  // stopped: dropped
  S.SendRaw(0, MIM_ERROR, 0x1234, 0x56);
  S.WaitIdle();

  ASSERT_EQ(In.Size(), 4u);
  const std::array<std::pair<std::uint32_t, std::uintptr_t>, 4> expected = {
      {{MIM_DATA, 0x00643C90u},
       {MIM_LONGDATA, Address(b)},
       {MIM_DATA, 0x00403C80u},
       {MIM_ERROR, 0x1234}}};
  for (std::size_t i = 0; i < expected.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(In[i].Msg, expected[i].first);
    EXPECT_EQ(In[i].Param1, expected[i].second);
    EXPECT_EQ(In[i].Handle, Address(h));
    EXPECT_EQ(In[i].Instance, Address(&In));
    EXPECT_NE(In[i].Thread, std::this_thread::get_id());
  }
  EXPECT_EQ(In[3].Param2, 0x56u);
}

TEST_F(VirtualServiceTest, SysexFillsBuffersInTheOrderAdded) {
  struct TCase {
    const char* Name;
    std::vector<std::size_t> Sizes;
    std::size_t Length;
    bool Complete;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> Returned;  // code, bytes recorded
  };
  const std::vector<TCase> cases = {
      {"spans three buffers", {4, 4, 4}, 10, true, {{964, 4}, {964, 4}, {964, 2}}},
      {"fits exactly", {4, 4, 8}, 8, true, {{964, 4}, {964, 4}}},
      {"sender left it open", {4, 4}, 6, false, {{964, 4}, {966, 2}}},
      {"runs out of buffers", {4}, 6, true, {{966, 4}}},
      {"no buffer at all", {}, 6, true, {}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TRig r;
    HMIDIIN h = r.OpenIn();
    std::vector<MIDIHDR*> buffers;
    for (std::size_t size : c.Sizes) buffers.push_back(r.Queued(h, size));
    ASSERT_EQ(r.S.midiInStart(h), 0u);
    std::vector<std::uint8_t> bytes(c.Length);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i + 1);
    bytes.front() = 0xF0;
    bytes.back() = 0xF7;
    r.S.SendSysex(0, bytes, c.Complete, 77);
    r.S.WaitIdle();

    ASSERT_EQ(r.In.Size(), c.Returned.size());
    std::size_t offset = 0;
    for (std::size_t i = 0; i < c.Returned.size(); ++i) {
      SCOPED_TRACE(i);
      const MIDIHDR* b = buffers[i];
      EXPECT_EQ(r.In[i].Msg, c.Returned[i].first);
      EXPECT_EQ(r.In[i].Param1, Address(b));
      EXPECT_EQ(r.In[i].Param2, 77u);
      EXPECT_EQ(b->dwBytesRecorded, c.Returned[i].second);
      EXPECT_EQ(b->dwFlags & (MHDR_DONE | MHDR_INQUEUE | MHDR_PREPARED), MHDR_DONE | MHDR_PREPARED);
      EXPECT_EQ(std::memcmp(b->lpData, bytes.data() + offset, b->dwBytesRecorded), 0);
      offset += b->dwBytesRecorded;
    }
    EXPECT_EQ(r.S.QueuedBuffers(), c.Sizes.size() - c.Returned.size());
  }
}

TEST_F(VirtualServiceTest, ResetHandsQueuedBuffersBackBeforeItReturns) {
  HMIDIIN h = OpenIn();
  std::vector<MIDIHDR*> buffers = {Queued(h, 8), Queued(h, 8), Queued(h, 8)};
  ASSERT_EQ(S.midiInStart(h), 0u);
  S.SendShort(0, 0xC0, 5, 0);

  ASSERT_EQ(S.midiInReset(h), 0u);
  // No WaitIdle: everything is back already, after the input that was sent before.
  ASSERT_EQ(In.Size(), 4u);
  EXPECT_EQ(In[0].Msg, MIM_DATA);
  for (std::size_t i = 0; i < buffers.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(In[i + 1].Msg, MIM_LONGDATA);
    EXPECT_EQ(In[i + 1].Param1, Address(buffers[i]));
    EXPECT_EQ(buffers[i]->dwBytesRecorded, 0u);
    EXPECT_EQ(buffers[i]->dwFlags & (MHDR_DONE | MHDR_INQUEUE), MHDR_DONE);
  }
  EXPECT_EQ(S.QueuedBuffers(), 0u);

  S.SendShort(0, 0xC0, 6, 0);  // reset stopped input
  S.WaitIdle();
  EXPECT_EQ(In.Size(), 4u);
  for (MIDIHDR* b : buffers) EXPECT_EQ(S.midiInUnprepareHeader(h, b, MIDIHDR_SIZE), 0u);
  EXPECT_EQ(S.PreparedHeaders(), 0u);
  EXPECT_EQ(S.midiInClose(h), 0u);
  EXPECT_EQ(S.OpenInputs(), 0u);
}

// Blocks the service thread in the first callback until the test lets it go.
struct TGate {
  std::atomic<bool> Entered{false};
  std::atomic<bool> Release{false};
  std::atomic<bool> CloseReturned{false};
  std::atomic<bool> CloseHadReturnedInCallback{false};
  std::atomic<int> Calls{0};
  std::atomic<int> CallsAfterClose{0};
};

// service thread: no allocation, no lock, no throw.
void Gated(std::uintptr_t, std::uint32_t, std::uintptr_t instance, std::uintptr_t, std::uintptr_t) {
  auto* g = reinterpret_cast<TGate*>(instance);
  // All seq_cst: the flags hand a few facts between three threads; speed does not matter.
  if (g->CloseReturned) ++g->CallsAfterClose;
  if (g->Calls++ == 0) {
    g->Entered = true;
    while (!g->Release) std::this_thread::yield();
    if (g->CloseReturned) g->CloseHadReturnedInCallback = true;
  }
}

TEST(VirtualService, CloseWaitsForTheCallbackInFlightAndStopsAllLaterOnes) {
  TGate gate;
  TVirtualMidiService s;
  s.AddInput(InputNamed("Keys In"));
  HMIDIIN h = nullptr;
  ASSERT_EQ(s.midiInOpen(&h, 0, Gated, reinterpret_cast<std::uintptr_t>(&gate), CALLBACK_FUNCTION),
            0u);
  ASSERT_EQ(s.midiInStart(h), 0u);
  for (int i = 0; i < 1000; ++i) s.SendShort(0, 0xF8);
  while (!gate.Entered) std::this_thread::yield();

  MMRESULT closed = MMSYSERR_ERROR;
  std::thread closer([&] {
    closed = s.midiInClose(h);
    gate.CloseReturned = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));  // give a wrong close time to return
  gate.Release = true;
  closer.join();
  s.SendShort(0, 0xF8);  // after close: dropped
  s.WaitIdle();

  EXPECT_EQ(closed, 0u);
  EXPECT_FALSE(gate.CloseHadReturnedInCallback);
  EXPECT_EQ(gate.CallsAfterClose.load(), 0);
  EXPECT_EQ(s.OpenInputs(), 0u);
}

TEST_F(VirtualServiceTest, FaultInjection) {
  S.FailCall("midiInOpen", MMSYSERR_NOMEM);
  HMIDIIN h = reinterpret_cast<HMIDIIN>(&In);  // stale garbage the failed call must clear
  EXPECT_EQ(S.midiInOpen(&h, 0, Record, 0, CALLBACK_FUNCTION), MMSYSERR_NOMEM);
  EXPECT_EQ(h, nullptr);
  EXPECT_EQ(S.OpenInputs(), 0u);
  h = OpenIn();  // the rule was used up
  EXPECT_EQ(S.CallCount("midiInOpen"), 2u);

  // Skip one call, then fail two.
  S.FailCall("midiOutShortMsg", MIDIERR_NOTREADY, 1, 2);
  HMIDIOUT out = OpenOut();
  const std::array<MMRESULT, 4> results = {S.midiOutShortMsg(out, 1), S.midiOutShortMsg(out, 2),
                                           S.midiOutShortMsg(out, 3), S.midiOutShortMsg(out, 4)};
  EXPECT_EQ(results, (std::array<MMRESULT, 4>{0, MIDIERR_NOTREADY, MIDIERR_NOTREADY, 0}));
  const std::vector<TRecordedOutput> log = S.OutputLog(0);
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].Short, 1u);
  EXPECT_EQ(log[1].Short, 4u);
  EXPECT_EQ(S.CallCount("midiOutShortMsg"), 4u);

  // A failed call leaves no trace in the service's state.
  MIDIHDR* b = Buffer(8);
  ASSERT_EQ(S.midiInPrepareHeader(h, b, MIDIHDR_SIZE), 0u);
  S.FailCall("midiInAddBuffer", MMSYSERR_NOMEM);
  EXPECT_EQ(S.midiInAddBuffer(h, b, MIDIHDR_SIZE), MMSYSERR_NOMEM);
  EXPECT_EQ(S.QueuedBuffers(), 0u);
  EXPECT_EQ(b->dwFlags & MHDR_INQUEUE, 0u);
  S.FailCall("midiInUnprepareHeader", MMSYSERR_ERROR);
  EXPECT_EQ(S.midiInUnprepareHeader(h, b, MIDIHDR_SIZE), MMSYSERR_ERROR);
  EXPECT_EQ(S.PreparedHeaders(), 1u);

  S.FailCall("midiInGetNumDevs", MMSYSERR_NODRIVER, 0, 3);
  EXPECT_EQ(S.midiInGetNumDevs(), 0u);
  S.ClearFailures();
  EXPECT_EQ(S.midiInGetNumDevs(), 2u);

  EXPECT_THROW(S.FailCall("midiInOpne", MMSYSERR_ERROR), std::invalid_argument);
  EXPECT_THROW(S.CallCount("midiOutShortMessage"), std::invalid_argument);
}

TEST_F(VirtualServiceTest, RemovedDevicesRefuseEverythingButClose) {
  HMIDIIN in = OpenIn();
  MIDIHDR* b = Queued(in, 8);
  ASSERT_EQ(S.midiInStart(in), 0u);
  S.HoldLongDone(true);
  HMIDIOUT out = OpenOut();
  Sent(out, {0xF0, 0x7E, 0xF7});

  S.RemoveInput(0);
  S.RemoveOutput(0);
  S.SendShort(0, 0x90, 60, 1);
  S.SendSysex(0, {0xF0, 0xF7});
  std::uint32_t volume = 0;
  const std::array<MMRESULT, 6> refused = {S.midiInStart(in),
                                           S.midiInAddBuffer(in, Buffer(8), MIDIHDR_SIZE),
                                           S.midiInReset(in),
                                           S.midiOutShortMsg(out, 0x90),
                                           S.midiOutGetVolume(0, &volume),
                                           S.midiOutMessage(0, 0, 0, 0)};
  for (MMRESULT r : refused) EXPECT_EQ(r, MIDIERR_NODEVICE);
  EXPECT_EQ(S.midiInGetNumDevs(), 2u);  // the number stays taken
  MIDIINCAPS caps;
  EXPECT_EQ(S.midiInGetDevCapsA(0, &caps, MIDIINCAPS_SIZE), 0u);
  EXPECT_EQ(caps.szPname, "Keys In");

  EXPECT_EQ(S.midiInClose(in), 0u);
  EXPECT_EQ(S.midiOutClose(out), 0u);  // in spite of the long message in flight
  EXPECT_EQ(b->dwFlags & (MHDR_DONE | MHDR_INQUEUE), MHDR_DONE);
  EXPECT_EQ(S.QueuedBuffers(), 0u);
  EXPECT_EQ(S.PreparedHeaders(), 0u);
  EXPECT_EQ(S.LongMessagesInFlight(), 0u);
  S.HoldLongDone(false);
  S.WaitIdle();
  EXPECT_EQ(In.Size(), 0u);
  EXPECT_EQ(Out.Size(), 0u);  // no done after close

  HMIDIIN again = nullptr;
  EXPECT_EQ(S.midiInOpen(&again, 0, Record, 0, CALLBACK_FUNCTION), MIDIERR_NODEVICE);
  EXPECT_EQ(again, nullptr);
  EXPECT_NE(OpenIn(1), nullptr);  // the others are untouched
}

TEST_F(VirtualServiceTest, TimeStampsCountFromStart) {
  HMIDIIN h = OpenIn();
  const auto before = std::chrono::steady_clock::now();
  ASSERT_EQ(S.midiInStart(h), 0u);
  for (int i = 0; i < 50; ++i) {
    if (i == 25)
      S.SendShort(0, 0xFE, 0xABCDEFu);
    else
      S.SendShort(0, 0xFE);
  }
  S.WaitIdle();
  const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::steady_clock::now() - before)
                           .count();

  ASSERT_EQ(In.Size(), 50u);
  EXPECT_EQ(In[25].Param2, 0xABCDEFu);
  std::uintptr_t previous = 0;
  for (std::size_t i = 0; i < 50; ++i) {
    if (i == 25) continue;
    SCOPED_TRACE(i);
    EXPECT_GE(In[i].Param2, previous);
    EXPECT_LE(In[i].Param2, static_cast<std::uintptr_t>(elapsed));  // relative, not absolute
    previous = In[i].Param2;
  }
}

TEST_F(VirtualServiceTest, LongMessageIsRecordedAtOnceAndDoneLaterOnTheServiceThread) {
  std::vector<std::pair<std::thread::id, TRecordedOutput>> hooked;
  S.SetOutputHook([&](std::uint32_t id, const TRecordedOutput& rec) {
    EXPECT_EQ(id, 0u);
    hooked.emplace_back(std::this_thread::get_id(), rec);
  });
  const std::vector<std::uint8_t> bytes = {0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7};
  HMIDIOUT h = OpenOut();
  S.HoldLongDone(true);
  MIDIHDR* b = Sent(h, bytes);

  ASSERT_EQ(hooked.size(), 1u);
  EXPECT_EQ(hooked[0].first, std::this_thread::get_id());
  EXPECT_TRUE(hooked[0].second.IsLong);
  EXPECT_EQ(hooked[0].second.Bytes, bytes);
  ASSERT_EQ(S.OutputLog(0).size(), 1u);
  EXPECT_EQ(S.OutputLog(0)[0].Bytes, bytes);
  EXPECT_EQ(S.LongMessagesInFlight(), 1u);
  EXPECT_EQ(b->dwFlags & (MHDR_DONE | MHDR_INQUEUE), MHDR_INQUEUE);
  S.WaitIdle();
  EXPECT_EQ(Out.Size(), 0u);

  S.HoldLongDone(false);
  S.WaitIdle();
  ASSERT_EQ(Out.Size(), 1u);
  EXPECT_EQ(Out[0].Msg, MOM_DONE);
  EXPECT_EQ(Out[0].Param1, Address(b));
  EXPECT_EQ(Out[0].Handle, Address(h));
  EXPECT_NE(Out[0].Thread, std::this_thread::get_id());
  EXPECT_EQ(b->dwFlags & (MHDR_DONE | MHDR_INQUEUE), MHDR_DONE);
  EXPECT_EQ(S.LongMessagesInFlight(), 0u);

  EXPECT_EQ(S.midiOutShortMsg(h, 0x007F3C90), 0u);
  ASSERT_EQ(hooked.size(), 2u);
  EXPECT_EQ(hooked[1].second.Short, 0x007F3C90u);
  EXPECT_TRUE(S.WaitOutput(0, 2, std::chrono::milliseconds(0)));
  EXPECT_EQ(S.midiOutUnprepareHeader(h, b, MIDIHDR_SIZE), 0u);
  EXPECT_EQ(S.midiOutClose(h), 0u);
}

TEST_F(VirtualServiceTest, VolumeGoesByNumberAndTheMapperAnswersAsAnOutput) {
  TVirtualOutputDevice mapper = OutputNamed("Mapper", MIDICAPS_VOLUME);
  mapper.Technology = MOD_MAPPER;
  mapper.Volume = 0x1234'5678;
  S.SetMapper(mapper);
  EXPECT_EQ(S.midiOutGetNumDevs(), 2u);
  MIDIOUTCAPS caps;
  ASSERT_EQ(S.midiOutGetDevCapsA(MIDI_MAPPER, &caps, MIDIOUTCAPS_SIZE), 0u);
  EXPECT_EQ(caps.szPname, "Mapper");
  EXPECT_EQ(caps.wTechnology, MOD_MAPPER);

  std::uint32_t volume = 0;
  ASSERT_EQ(S.midiOutGetVolume(MIDI_MAPPER, &volume), 0u);
  EXPECT_EQ(volume, 0x1234'5678u);
  ASSERT_EQ(S.midiOutSetVolume(0, 0xAAAA'5555), 0u);  // closed
  HMIDIOUT h = OpenOut(0);
  ASSERT_EQ(S.midiOutGetVolume(0, &volume), 0u);  // open
  EXPECT_EQ(volume, 0xAAAA'5555u);

  HMIDIOUT m = OpenOut(MIDI_MAPPER);
  ASSERT_EQ(S.midiOutShortMsg(m, 0x90), 0u);
  EXPECT_EQ(S.OutputLog(MIDI_MAPPER).size(), 1u);
  EXPECT_TRUE(S.OutputLog(0).empty());
  EXPECT_EQ(S.OpenOutputs(), 2u);
  EXPECT_EQ(S.midiOutClose(m), 0u);
  EXPECT_EQ(S.midiOutClose(h), 0u);

  S.SetMapper(std::nullopt);
  EXPECT_EQ(S.midiOutGetVolume(MIDI_MAPPER, &volume), MMSYSERR_BADDEVICEID);
}

}  // namespace
}  // namespace velora
