// The real MIDI service on a live JACK server, through the service calls and through the
// input and output components, with RtMidi clients as keyboard and synthesizer.
#include <atomic>
#include <memory>
#include <thread>

#include "midi/MidiIn.h"
#include "midi/MidiOut.h"
#include "platform/rtmidi/RtMidiService.h"
#include "tests/rtmidi/JackClients.h"

namespace velora {
namespace {

using testing::PumpUntil;
using testing::SendUntilRefused;
using testing::Sysex;
using testing::TBytes;
using testing::TKeyboard;
using testing::TSynth;
using testing::UniqueClientName;

class JackService : public ::testing::Test {
 protected:
  void SetUp() override {
    Service.midiInGetNumDevs();
    ASSERT_EQ(Service.Backend(), mbJack) << "the service found no JACK server";
  }

  std::uint32_t InputNumber(const std::string& name) {
    const std::uint32_t count = Service.midiInGetNumDevs();
    for (std::uint32_t id = 0; id < count; ++id) {
      MIDIINCAPS caps;
      if (Service.midiInGetDevCapsA(id, &caps, MIDIINCAPS_SIZE) == 0 && caps.szPname == name)
        return id;
    }
    ADD_FAILURE() << name << " is not listed";
    return count;
  }
  std::uint32_t OutputNumber(const std::string& name) {
    const std::uint32_t count = Service.midiOutGetNumDevs();
    for (std::uint32_t id = 0; id < count; ++id) {
      MIDIOUTCAPS caps;
      if (Service.midiOutGetDevCapsA(id, &caps, MIDIOUTCAPS_SIZE) == 0 && caps.szPname == name)
        return id;
    }
    ADD_FAILURE() << name << " is not listed";
    return count;
  }

  TRtMidiService Service;
  TMidiServiceScope Scope{Service};
};

// What the callback saw, for the service-level tests.
struct TCall {
  std::uint32_t Msg;
  std::uintptr_t Param1;
  std::uintptr_t Param2;
  std::uint32_t Bytes;  // bytes recorded, for a header
  std::thread::id Thread;
};
struct TCallLog {
  std::mutex Mutex;
  std::vector<TCall> Calls;

  static void Callback(std::uintptr_t, std::uint32_t msg, std::uintptr_t instance,
                       std::uintptr_t param1, std::uintptr_t param2) {
    auto* log = reinterpret_cast<TCallLog*>(instance);
    const bool header = msg == MIM_LONGDATA || msg == MIM_LONGERROR || msg == MOM_DONE;
    const std::uint32_t bytes = header ? reinterpret_cast<MIDIHDR*>(param1)->dwBytesRecorded : 0;
    std::lock_guard lock(log->Mutex);
    log->Calls.push_back({msg, param1, param2, bytes, std::this_thread::get_id()});
  }
  std::vector<TCall> WaitFor(std::size_t count) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
      {
        std::lock_guard lock(Mutex);
        if (Calls.size() >= count || std::chrono::steady_clock::now() > deadline) return Calls;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  std::uintptr_t Instance() { return reinterpret_cast<std::uintptr_t>(this); }
};

struct TBuffer {
  explicit TBuffer(std::uint32_t size) : Data(size) {
    Header.lpData = Data.data();
    Header.dwBufferLength = size;
  }
  TBytes Data;
  MIDIHDR Header{};
  TBytes Recorded() const { return TBytes(Data.begin(), Data.begin() + Header.dwBytesRecorded); }
};

// Takes every event the input component announces.
struct TReceived {
  std::uint8_t Status, Data1, Data2;
  TBytes Sysex;
};
class TInputRecorder {
 public:
  explicit TInputRecorder(TMidiInput& input, bool drain = true) {
    if (drain)
      input.SetOnMidiInput([this, &input](TObject*) {
        while (input.GetEventCount() > 0) {
          std::unique_ptr<TMyMidiEvent> e(input.GetMidiEvent());
          if (!e) break;
          Events.push_back({e->StatusByte, e->DataByte1, e->DataByte2,
                            TBytes(e->SysexData, e->SysexData + e->SysexSize)});
        }
      });
    input.SetOnOverflow([this](TObject*) { ++Overflows; });
  }
  bool WaitFor(std::size_t count) {
    return PumpUntil([&] { return Events.size() >= count; });
  }
  std::vector<TReceived> Events;
  int Overflows = 0;
};

TBytes Short(const TReceived& e) {
  return {e.Status, e.Data1, e.Data2};
}

const TBytes kMarker = {0x90, 0x7F, 0x7F};

TEST_F(JackService, ShortMessagesOfEveryKindTravelWithTheirExactLength) {
  // Data bytes a message of that status does not have are 0x55 here: none may leave.
  const std::vector<TBytes> kinds = {
      {0x80, 60, 0}, {0x91, 60, 100}, {0xA2, 60, 50}, {0xB3, 7, 99}, {0xC4, 5}, {0xD5, 70},
      {0xE6, 0, 64}, {0xF1, 0x23},    {0xF2, 16, 32}, {0xF3, 3},     {0xF6},    {0xF8},
      {0xFA},        {0xFB},          {0xFC},         {0xFE},        {0xFF}};
  TKeyboard keyboard;
  TSynth synth;
  TMidiInput input(nullptr);
  input.SetProductName(keyboard.Name());
  input.SetMsgFilter({});
  TInputRecorder recorder(input);
  input.OpenAndStart();
  TMidiOutput output(nullptr);
  output.SetProductName(synth.Name());
  ASSERT_TRUE(output.Open()) << output.Error();

  for (const TBytes& kind : kinds) keyboard.Send(kind);
  recorder.WaitFor(kinds.size());
  ASSERT_EQ(recorder.Events.size(), kinds.size()) << ::testing::PrintToString([&] {
    std::vector<TBytes> got;
    for (const TReceived& e : recorder.Events) got.push_back(Short(e));
    return got;
  }());
  for (std::size_t i = 0; i < kinds.size(); ++i) {
    TBytes expected = kinds[i];
    expected.resize(3, 0);
    EXPECT_EQ(Short(recorder.Events[i]), expected) << "message " << i;
  }

  for (const TBytes& kind : kinds)
    output.PutShort(kind[0], kind.size() > 1 ? kind[1] : 0x55, kind.size() > 2 ? kind[2] : 0x55);
  EXPECT_EQ(synth.WaitFor(kinds.size()), kinds);
  input.StopAndClose();
  output.Close();
}

TEST_F(JackService, SysexUpToTheLargestTheBackendCarriesTravelsBothWays) {
  const std::size_t largest = RtMidiLongMessageLimit(mbJack);
  const std::vector<std::size_t> sizes = {3, 4096, largest};
  TKeyboard keyboard;
  TSynth synth;
  TMidiInput input(nullptr);
  input.SetProductName(keyboard.Name());
  TInputRecorder recorder(input);
  input.OpenAndStart();
  TMidiOutput output(nullptr);
  output.SetProductName(synth.Name());
  int done = 0;
  output.SetOnMidiOutput([&](TObject*) { ++done; });
  ASSERT_TRUE(output.Open());

  // In: split across the 4096-byte buffers; the pieces join up to the message.
  for (std::size_t size : sizes) keyboard.Send(Sysex(size));
  keyboard.Send(kMarker);
  ASSERT_TRUE(PumpUntil(
      [&] { return !recorder.Events.empty() && Short(recorder.Events.back()) == kMarker; }));
  std::vector<TBytes> joined(1);
  for (const TReceived& e : recorder.Events) {
    if (e.Status != 0xF0) break;
    joined.back().insert(joined.back().end(), e.Sysex.begin(), e.Sysex.end());
    if (!joined.back().empty() && joined.back().back() == 0xF7) joined.emplace_back();
  }
  joined.pop_back();
  ASSERT_EQ(joined.size(), sizes.size());
  for (std::size_t i = 0; i < sizes.size(); ++i) EXPECT_EQ(joined[i], Sysex(sizes[i]));

  // Out: each completes with its own notification; one byte more is refused, not lost.
  for (std::size_t size : sizes) {
    const TBytes bytes = Sysex(size);
    output.PutLong(bytes.data(), static_cast<std::uint16_t>(size));
  }
  const TBytes tooLong = Sysex(largest + 1);
  EXPECT_THROW(output.PutLong(tooLong.data(), static_cast<std::uint16_t>(tooLong.size())),
               EMidiOutputError);
  EXPECT_NE(output.Error(), 0u);
  output.PutShort(kMarker[0], kMarker[1], kMarker[2]);
  const std::vector<TBytes> received = synth.WaitFor(sizes.size() + 1);
  ASSERT_EQ(received.size(), sizes.size() + 1);
  for (std::size_t i = 0; i < sizes.size(); ++i) EXPECT_EQ(received[i], Sysex(sizes[i]));
  EXPECT_EQ(received.back(), kMarker);
  EXPECT_TRUE(PumpUntil([&] { return done == static_cast<int>(sizes.size()); }));
  EXPECT_TRUE(output.Close());
  input.StopAndClose();
}

TEST_F(JackService, LongNamesSelectDevicesAndOurOwnPortsAreNeverListed) {
  // Full port names of exactly 60 characters.
  const std::string keyboardClient = UniqueClientName("KeyboardWithAVeryLongName");
  const std::string synthClient = UniqueClientName("SynthesizerWithAVeryLongName");
  TKeyboard keyboard(keyboardClient, std::string(59 - keyboardClient.size(), 'k'));
  TSynth synth(synthClient, std::string(59 - synthClient.size(), 's'));
  ASSERT_EQ(keyboard.Name().size(), 60u);
  TMidiInput input(nullptr);
  input.SetProductName(keyboard.Name());
  EXPECT_EQ(input.ProductName(), keyboard.Name());
  TInputRecorder recorder(input);
  input.OpenAndStart();
  TMidiOutput output(nullptr);
  output.SetProductName(synth.Name());
  EXPECT_EQ(output.ProductName(), synth.Name());
  ASSERT_TRUE(output.Open());

  for (std::uint32_t id = 0; id < Service.midiInGetNumDevs(); ++id) {
    MIDIINCAPS caps;
    ASSERT_EQ(Service.midiInGetDevCapsA(id, &caps, MIDIINCAPS_SIZE), 0u);
    EXPECT_NE(caps.szPname.rfind(RtMidiClientName, 0), 0u) << caps.szPname;
  }
  for (std::uint32_t id = 0; id < Service.midiOutGetNumDevs(); ++id) {
    MIDIOUTCAPS caps;
    ASSERT_EQ(Service.midiOutGetDevCapsA(id, &caps, MIDIOUTCAPS_SIZE), 0u);
    EXPECT_NE(caps.szPname.rfind(RtMidiClientName, 0), 0u) << caps.szPname;
  }

  keyboard.Send({0x90, 64, 1});
  ASSERT_TRUE(recorder.WaitFor(1));
  EXPECT_EQ(Short(recorder.Events[0]), (TBytes{0x90, 64, 1}));
  output.NoteOn(0, 64, 2);
  EXPECT_EQ(synth.WaitFor(1), (std::vector<TBytes>{{0x90, 64, 2}}));
  input.StopAndClose();
  output.Close();
}

TEST_F(JackService, TimingClockAndActiveSensingReachTheFilters) {
  TKeyboard keyboard;
  TMidiInput input(nullptr);
  input.SetProductName(keyboard.Name());
  TInputRecorder recorder(input);
  input.OpenAndStart();
  const std::vector<TBytes> stream = {{0xF8}, {0xFE}, {0xF1, 1}, {0x90, 1, 1}};
  const auto pass = [&](TMidiMsgFilter filter) {
    input.SetMsgFilter(filter);
    recorder.Events.clear();
    for (const TBytes& m : stream) keyboard.Send(m);
    keyboard.Send(kMarker);
    EXPECT_TRUE(PumpUntil(
        [&] { return !recorder.Events.empty() && Short(recorder.Events.back()) == kMarker; }));
    std::vector<std::uint8_t> statuses;
    for (const TReceived& e : recorder.Events) statuses.push_back(e.Status);
    statuses.pop_back();
    return statuses;
  };
  EXPECT_EQ(pass({msgActiveSensing, msgMidiTimeCode}), (TBytes{0xF1, 0x90}));
  EXPECT_EQ(pass({msgMidiTimeCode}), (TBytes{0xFE, 0xF1, 0x90}));
  EXPECT_EQ(pass({}), (TBytes{0xF8, 0xFE, 0xF1, 0x90}));
  input.StopAndClose();
}

TEST_F(JackService, AFullRingIsReportedThroughOnOverflow) {
  TKeyboard keyboard;
  TMidiInput input(nullptr);
  input.SetProductName(keyboard.Name());
  input.SetCapacity(4);
  TInputRecorder recorder(input, /*drain=*/false);
  input.OpenAndStart();
  for (int i = 0; i < 40; ++i) keyboard.Send({0x90, static_cast<std::uint8_t>(i), 1});
  EXPECT_TRUE(PumpUntil([&] { return recorder.Overflows == 36; })) << recorder.Overflows;
  EXPECT_EQ(input.GetEventCount(), 4);
  input.StopAndClose();
}

TEST_F(JackService, KeyboardQuittingWhileOpenLeavesTheInputClosableAndReopenRefused) {
  auto keyboard = std::make_unique<TKeyboard>();
  TMidiInput input(nullptr);
  input.SetProductName(keyboard->Name());
  TInputRecorder recorder(input);
  input.OpenAndStart();
  keyboard->Send({0x90, 1, 1});
  ASSERT_TRUE(recorder.WaitFor(1));
  keyboard.reset();

  EXPECT_NO_THROW(input.StopAndClose());
  EXPECT_EQ(input.State(), misClosed);
  try {
    input.Open();
    FAIL() << "opened a port that is gone";
  } catch (const EMidiInputError& e) {
    EXPECT_STREQ(e.what(), MidiResultText(MIDIERR_NODEVICE));
  }
  EXPECT_EQ(input.State(), misClosed);
}

TEST_F(JackService, SynthQuittingWhileOpenMakesTheNextSendFail) {
  auto synth = std::make_unique<TSynth>();
  TMidiOutput output(nullptr);
  output.SetProductName(synth->Name());
  ASSERT_TRUE(output.Open());
  output.NoteOn(0, 1, 1);
  ASSERT_EQ(synth->WaitFor(1).size(), 1u);
  synth.reset();

  // The service learns of the departure from the server, a moment later.
  const std::string failure = SendUntilRefused(output);
  EXPECT_EQ(output.Error(), MIDIERR_NODEVICE);
  EXPECT_EQ(failure, output.MidiOutErrorString(MIDIERR_NODEVICE, ecPutShort));
  const TBytes sysex = Sysex(8);
  EXPECT_THROW(output.PutLong(sysex.data(), 8), EMidiOutputError);
  EXPECT_TRUE(output.Close());
  EXPECT_FALSE(output.Open());
  EXPECT_EQ(output.Error(), MIDIERR_NODEVICE);
}

TEST_F(JackService, DeviceNumbersLastForTheRunAsClientsComeAndGo) {
  const std::string nameA = UniqueClientName("KeyboardA");
  auto a = std::make_unique<TKeyboard>(nameA);
  TKeyboard b;
  auto synthA = std::make_unique<TSynth>(UniqueClientName("SynthA"));
  const std::string synthName = synthA->Name();
  const std::uint32_t idA = InputNumber(a->Name());
  const std::uint32_t idB = InputNumber(b.Name());
  const std::uint32_t idSynth = OutputNumber(synthName);
  const std::uint32_t inputs = Service.midiInGetNumDevs();
  const std::uint32_t outputs = Service.midiOutGetNumDevs();
  const std::string fullA = a->Name();

  a.reset();
  synthA.reset();
  EXPECT_EQ(Service.midiInGetNumDevs(), inputs);
  EXPECT_EQ(Service.midiOutGetNumDevs(), outputs);
  EXPECT_EQ(InputNumber(fullA), idA);
  EXPECT_EQ(InputNumber(b.Name()), idB);
  EXPECT_EQ(OutputNumber(synthName), idSynth);
  TCallLog log;
  HMIDIIN in = nullptr;
  HMIDIOUT out = nullptr;
  EXPECT_EQ(Service.midiInOpen(&in, idA, TCallLog::Callback, log.Instance(), CALLBACK_FUNCTION),
            MIDIERR_NODEVICE);
  EXPECT_EQ(in, nullptr);
  EXPECT_EQ(Service.midiOutOpen(&out, idSynth, TCallLog::Callback, log.Instance(), 0),
            MIDIERR_NODEVICE);

  TKeyboard returned(nameA);
  TKeyboard newcomer;
  EXPECT_EQ(InputNumber(returned.Name()), idA);
  EXPECT_EQ(InputNumber(newcomer.Name()), inputs);
  ASSERT_EQ(Service.midiInOpen(&in, idA, TCallLog::Callback, log.Instance(), CALLBACK_FUNCTION),
            0u);
  EXPECT_EQ(Service.midiInClose(in), 0u);
}

TEST_F(JackService, InputFlowsOnlyWhileStartedWithMillisecondsSinceStart) {
  TKeyboard keyboard;
  TCallLog log;
  HMIDIIN in = nullptr;
  ASSERT_EQ(Service.midiInOpen(&in, InputNumber(keyboard.Name()), TCallLog::Callback,
                               log.Instance(), CALLBACK_FUNCTION),
            0u);
  // The server delivers within a cycle or two; these pauses let it deliver before the
  // state changes.
  const auto deliver = [] { std::this_thread::sleep_for(std::chrono::milliseconds(100)); };
  keyboard.Send({0x90, 1, 1});  // not started: dropped
  deliver();
  const auto beforeStart = std::chrono::steady_clock::now();
  ASSERT_EQ(Service.midiInStart(in), 0u);
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  keyboard.Send({0x90, 2, 2});
  std::vector<TCall> calls = log.WaitFor(1);
  const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::steady_clock::now() - beforeStart)
                           .count();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].Msg, MIM_DATA);
  EXPECT_EQ(calls[0].Param1, 0x020290u);
  EXPECT_GE(calls[0].Param2, 30u);
  EXPECT_LE(calls[0].Param2, static_cast<std::uintptr_t>(elapsed));
  EXPECT_NE(calls[0].Thread, std::this_thread::get_id());

  ASSERT_EQ(Service.midiInStop(in), 0u);
  keyboard.Send({0x90, 3, 3});  // stopped: dropped
  deliver();
  ASSERT_EQ(Service.midiInStart(in), 0u);
  keyboard.Send({0x90, 4, 4});
  calls = log.WaitFor(2);
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[1].Param1, 0x040490u);
  EXPECT_EQ(Service.midiInClose(in), 0u);
}

TEST_F(JackService, SysexFillsTheQueuedBuffersInOrderAndMarksWhatIsCut) {
  TKeyboard keyboard;
  TCallLog log;
  HMIDIIN in = nullptr;
  ASSERT_EQ(Service.midiInOpen(&in, InputNumber(keyboard.Name()), TCallLog::Callback,
                               log.Instance(), CALLBACK_FUNCTION),
            0u);
  std::vector<std::unique_ptr<TBuffer>> buffers;
  const auto add = [&](int n) {
    for (int i = 0; i < n; ++i) {
      buffers.push_back(std::make_unique<TBuffer>(100));
      ASSERT_EQ(Service.midiInPrepareHeader(in, &buffers.back()->Header, MIDIHDR_SIZE), 0u);
      ASSERT_EQ(Service.midiInAddBuffer(in, &buffers.back()->Header, MIDIHDR_SIZE), 0u);
    }
  };
  ASSERT_EQ(Service.midiInStart(in), 0u);

  add(3);
  keyboard.Send(Sysex(150));  // two buffers, complete
  keyboard.Send(Sysex(250));  // one buffer left: cut after 100 bytes
  keyboard.Send(Sysex(50));   // no buffer left: dropped
  keyboard.Send(kMarker);
  const std::vector<TCall> calls = log.WaitFor(4);
  ASSERT_EQ(calls.size(), 4u);
  const auto header = [&](int i) { return reinterpret_cast<MIDIHDR*>(calls[i].Param1); };
  EXPECT_EQ(calls[0].Msg, MIM_LONGDATA);
  EXPECT_EQ(calls[1].Msg, MIM_LONGDATA);
  EXPECT_EQ(calls[2].Msg, MIM_LONGERROR);
  EXPECT_EQ(calls[3].Msg, MIM_DATA);
  EXPECT_EQ(header(0), &buffers[0]->Header);
  EXPECT_EQ(header(1), &buffers[1]->Header);
  EXPECT_EQ(header(2), &buffers[2]->Header);
  TBytes joined = buffers[0]->Recorded();
  const TBytes second = buffers[1]->Recorded();
  joined.insert(joined.end(), second.begin(), second.end());
  EXPECT_EQ(joined, Sysex(150));
  const TBytes cut = Sysex(250);
  EXPECT_EQ(buffers[2]->Recorded(), TBytes(cut.begin(), cut.begin() + 100));
  EXPECT_TRUE(buffers[2]->Header.dwFlags & MHDR_DONE);

  ASSERT_EQ(Service.midiInStop(in), 0u);
  for (auto& b : buffers)
    EXPECT_EQ(Service.midiInUnprepareHeader(in, &b->Header, MIDIHDR_SIZE), 0u);
  EXPECT_EQ(Service.midiInClose(in), 0u);
}

TEST_F(JackService, StateRulesAndWhatThePortsCannotDo) {
  TKeyboard keyboard;
  TSynth synth;
  TCallLog log;
  HMIDIIN in = nullptr;
  HMIDIOUT out = nullptr;
  const std::uint32_t inputs = Service.midiInGetNumDevs();
  EXPECT_EQ(Service.midiInOpen(&in, inputs, TCallLog::Callback, log.Instance(), CALLBACK_FUNCTION),
            MMSYSERR_BADDEVICEID);
  EXPECT_EQ(Service.midiInOpen(&in, MIDI_MAPPER, TCallLog::Callback, log.Instance(), 0),
            MMSYSERR_BADDEVICEID);
  ASSERT_EQ(Service.midiInOpen(&in, InputNumber(keyboard.Name()), TCallLog::Callback,
                               log.Instance(), CALLBACK_FUNCTION),
            0u);
  const std::uint32_t synthId = OutputNumber(synth.Name());
  ASSERT_EQ(
      Service.midiOutOpen(&out, synthId, TCallLog::Callback, log.Instance(), CALLBACK_FUNCTION),
      0u);

  TBuffer a(16), b(16), c(16), unprepared(16);
  for (TBuffer* x : {&a, &b, &c}) {
    ASSERT_EQ(Service.midiInPrepareHeader(in, &x->Header, MIDIHDR_SIZE), 0u);
    ASSERT_EQ(Service.midiInAddBuffer(in, &x->Header, MIDIHDR_SIZE), 0u);
  }
  const HMIDIIN badIn = reinterpret_cast<HMIDIIN>(&a);
  const HMIDIOUT badOut = reinterpret_cast<HMIDIOUT>(&a);
  const std::vector<std::pair<MMRESULT, MMRESULT>> cases = {
      {Service.midiInAddBuffer(in, &unprepared.Header, MIDIHDR_SIZE), MIDIERR_UNPREPARED},
      {Service.midiInUnprepareHeader(in, &a.Header, MIDIHDR_SIZE), MIDIERR_STILLPLAYING},
      {Service.midiInClose(in), MIDIERR_STILLPLAYING},
      {Service.midiInPrepareHeader(in, &unprepared.Header, 32), MMSYSERR_INVALPARAM},
      {Service.midiInStart(badIn), MMSYSERR_INVALHANDLE},
      {Service.midiInClose(badIn), MMSYSERR_INVALHANDLE},
      {Service.midiOutShortMsg(badOut, 0x90), MMSYSERR_INVALHANDLE},
      {Service.midiOutShortMsg(out, 0x3C), MMSYSERR_INVALPARAM},  // no status byte
      {Service.midiOutShortMsg(out, 0xF0), MMSYSERR_INVALPARAM},  // sysex is a long message
      {Service.midiOutLongMsg(out, &unprepared.Header, MIDIHDR_SIZE), MIDIERR_UNPREPARED},
      {Service.midiOutGetVolume(synthId, nullptr), MMSYSERR_INVALPARAM},
      {Service.midiOutSetVolume(synthId, 0xFFFFFFFF), MMSYSERR_NOTSUPPORTED},
      {Service.midiOutSetVolume(Service.midiOutGetNumDevs(), 0), MMSYSERR_BADDEVICEID},
      {Service.midiOutCachePatches(out, 0, nullptr, 0), MMSYSERR_NOTSUPPORTED},
      {Service.midiOutCacheDrumPatches(out, 0, nullptr, 0), MMSYSERR_NOTSUPPORTED},
      {Service.midiOutCachePatches(badOut, 0, nullptr, 0), MMSYSERR_INVALHANDLE},
      {Service.midiOutMessage(synthId, 0x800, 0, 0), MMSYSERR_NOTSUPPORTED},
      {Service.midiOutMessage(MIDI_MAPPER, 0x800, 0, 0), MMSYSERR_NOTSUPPORTED},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    EXPECT_EQ(cases[i].first, cases[i].second) << "case " << i;
    EXPECT_NE(MidiResultText(cases[i].second), nullptr);
  }
  std::uint32_t volume = 0;
  EXPECT_EQ(Service.midiOutGetVolume(synthId, &volume), MMSYSERR_NOTSUPPORTED);

  // Reset hands every queued buffer back, empty, before it returns.
  ASSERT_EQ(Service.midiInReset(in), 0u);
  {
    std::lock_guard lock(log.Mutex);
    ASSERT_EQ(log.Calls.size(), 3u);
    for (const TCall& call : log.Calls) {
      EXPECT_EQ(call.Msg, MIM_LONGDATA);
      EXPECT_EQ(call.Bytes, 0u);
    }
    EXPECT_EQ(log.Calls[0].Param1, reinterpret_cast<std::uintptr_t>(&a.Header));
    EXPECT_EQ(log.Calls[2].Param1, reinterpret_cast<std::uintptr_t>(&c.Header));
  }
  for (TBuffer* x : {&a, &b, &c})
    EXPECT_EQ(Service.midiInUnprepareHeader(in, &x->Header, MIDIHDR_SIZE), 0u);
  EXPECT_EQ(Service.midiInClose(in), 0u);
  EXPECT_EQ(Service.midiInClose(in), MMSYSERR_INVALHANDLE);
  EXPECT_EQ(Service.midiOutClose(out), 0u);
}

TEST_F(JackService, LongOutputCompletesLaterOnAThreadOfTheService) {
  TSynth synth;
  TCallLog log;
  HMIDIOUT out = nullptr;
  ASSERT_EQ(Service.midiOutOpen(&out, OutputNumber(synth.Name()), TCallLog::Callback,
                                log.Instance(), CALLBACK_FUNCTION),
            0u);
  TBuffer message(5);
  message.Data = Sysex(5);
  message.Header.lpData = message.Data.data();
  ASSERT_EQ(Service.midiOutPrepareHeader(out, &message.Header, MIDIHDR_SIZE), 0u);
  ASSERT_EQ(Service.midiOutLongMsg(out, &message.Header, MIDIHDR_SIZE), 0u);
  const std::vector<TCall> calls = log.WaitFor(1);
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].Msg, MOM_DONE);
  EXPECT_EQ(calls[0].Param1, reinterpret_cast<std::uintptr_t>(&message.Header));
  EXPECT_NE(calls[0].Thread, std::this_thread::get_id());
  EXPECT_TRUE(message.Header.dwFlags & MHDR_DONE);
  EXPECT_EQ(synth.WaitFor(1), (std::vector<TBytes>{Sysex(5)}));
  EXPECT_EQ(Service.midiOutUnprepareHeader(out, &message.Header, MIDIHDR_SIZE), 0u);
  EXPECT_EQ(Service.midiOutClose(out), 0u);
}

TEST_F(JackService, TheMapperAnswersAndOpensTheFirstOutputPort) {
  TSynth synth;
  MIDIOUTCAPS caps;
  ASSERT_EQ(Service.midiOutGetDevCapsA(MIDI_MAPPER, &caps, MIDIOUTCAPS_SIZE), 0u);
  EXPECT_EQ(caps.szPname, RtMidiMapperName);
  EXPECT_EQ(caps.wTechnology, MOD_MAPPER);
  ASSERT_EQ(OutputNumber(synth.Name()), 0u) << "another output port is on this server";

  TMidiOutput output(nullptr);
  output.SetTechnology(opt_Mapper);
  EXPECT_EQ(output.DeviceID(), MIDI_MAPPER);
  EXPECT_EQ(output.ProductName(), RtMidiMapperName);
  ASSERT_TRUE(output.Open());
  output.NoteOn(3, 10, 20);
  EXPECT_EQ(synth.WaitFor(1), (std::vector<TBytes>{{0x93, 10, 20}}));
  EXPECT_TRUE(output.Close());
  output.SetProductName(synth.Name());  // the search tries the mapper first
  EXPECT_EQ(output.DeviceID(), 0u);
}

TEST_F(JackService, NoCallbackRunsAfterCloseReturns) {
  TKeyboard keyboard;
  const std::uint32_t id = InputNumber(keyboard.Name());
  std::atomic<bool> sending{true};
  std::thread player([&] {
    std::uint8_t note = 0;
    while (sending.load()) {
      keyboard.Send({0x90, static_cast<std::uint8_t>(note++ & 0x7F), 1});
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  });
  struct TWatch {
    std::atomic<bool> Closed{false};
    std::atomic<int> Calls{0};
    std::atomic<int> Late{0};
  };
  std::vector<std::unique_ptr<TWatch>> watches;
  const MidiCallback callback = [](std::uintptr_t, std::uint32_t, std::uintptr_t instance,
                                   std::uintptr_t, std::uintptr_t) {
    auto* w = reinterpret_cast<TWatch*>(instance);
    if (w->Closed.load()) ++w->Late;
    ++w->Calls;
  };
  for (int round = 0; round < 20; ++round) {
    watches.push_back(std::make_unique<TWatch>());
    TWatch& w = *watches.back();
    HMIDIIN in = nullptr;
    ASSERT_EQ(Service.midiInOpen(&in, id, callback, reinterpret_cast<std::uintptr_t>(&w),
                                 CALLBACK_FUNCTION),
              0u);
    ASSERT_EQ(Service.midiInStart(in), 0u);
    ASSERT_TRUE(PumpUntil([&] { return w.Calls.load() > 0; }));
    ASSERT_EQ(Service.midiInClose(in), 0u);
    w.Closed.store(true);
  }
  sending.store(false);
  player.join();
  for (const auto& w : watches) EXPECT_EQ(w->Late.load(), 0);
}

}  // namespace
}  // namespace velora

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::AddGlobalTestEnvironment(new velora::testing::TJackEnvironment);
  return RUN_ALL_TESTS();
}
