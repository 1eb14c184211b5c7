// The output component against the virtual MIDI service: selection, sending, the error texts,
// the long-message life cycle and the clean-up after every failure.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "midi/Circbuf.h"
#include "midi/MidiOut.h"
#include "platform/MessageWindow.h"
#include "platform/SharedMemory.h"
#include "platform/virtual/VirtualMidiService.h"

namespace velora {
namespace {

constexpr std::uint32_t kPortA = 0;    // "Port A", MIDI port, one volume for both sides
constexpr std::uint32_t kSynth = 1;    // "Synth B", stereo volume, caching
constexpr std::uint32_t kPortA2 = 2;   // a second "Port A"
constexpr std::uint32_t kOddTech = 3;  // reports technology code 7, streaming
const std::string kMapperName = "Velora Mapper";

// Delivers window messages until `done` holds; gives up after a generous bound so that a
// fault fails the test instead of hanging it.
bool PumpUntil(const std::function<bool()>& done) {
  const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!done()) {
    if (std::chrono::steady_clock::now() > giveUp) return false;
    WaitMessage(50);
    ProcessMessages();
  }
  return true;
}

class MidiOutTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TVirtualOutputDevice portA{"Port A", 1, 10,     0x0100,         MOD_MIDIPORT,
                               0,        0, 0xFFFF, MIDICAPS_VOLUME};
    TVirtualOutputDevice synth{
        "Synth B", 2,         20,
        0x0200,    MOD_SYNTH, 32,
        16,        0x00FF,    MIDICAPS_VOLUME | MIDICAPS_LRVOLUME | MIDICAPS_CACHE};
    synth.Volume = 0x12345678;
    TVirtualOutputDevice oddTech{"Odd", 3, 30, 0x0300, 7, 0, 0, 0xFFFF, MIDICAPS_STREAM};
    ASSERT_EQ(service.AddOutput(portA), kPortA);
    ASSERT_EQ(service.AddOutput(synth), kSynth);
    ASSERT_EQ(service.AddOutput(portA), kPortA2);
    ASSERT_EQ(service.AddOutput(oddTech), kOddTech);
    service.SetMapper(TVirtualOutputDevice{kMapperName, 4, 40, 0x0400, MOD_MAPPER});
    blocksBefore = GlobalLiveBlocks();
  }

  // Every test ends with every component gone: nothing of theirs may remain.
  void TearDown() override {
    GlobalAllocFailAt(0);
    EXPECT_EQ(GlobalLiveBlocks(), blocksBefore);
    EXPECT_EQ(service.OpenOutputs(), 0u);
    EXPECT_EQ(service.PreparedHeaders(), 0u);
    EXPECT_EQ(service.LongMessagesInFlight(), 0u);
  }

  std::string ServiceText(MMRESULT code) {
    char text[128] = {};
    return service.midiOutGetErrorTextA(code, text, sizeof text) == 0 ? std::string(text)
                                                                      : std::string("?");
  }

  TVirtualMidiService service;
  TMidiServiceScope scope{service};
  std::size_t blocksBefore = 0;
};

std::string RaisedText(const std::function<void()>& action) {
  try {
    action();
  } catch (const EMidiOutputError& e) {
    return e.what();
  }
  return "(nothing raised)";
}

TEST_F(MidiOutTest, FreshComponentOpensDeviceZeroAndSendsPackedShortMessages) {
  TMidiOutput out(nullptr);
  EXPECT_EQ(out.State(), mosClosed);
  EXPECT_EQ(out.DeviceID(), 0u);
  EXPECT_EQ(out.ProductName(), "");
  EXPECT_EQ(out.ManufacturerID() | out.ProductID() | out.Voices() | out.Notes() |
                out.ChannelMask() | out.Technology(),
            0);
  EXPECT_EQ(out.DriverVersion() | out.SupportFlags(), 0u);
  EXPECT_EQ(out.CallbackInfo(), nullptr);
  EXPECT_EQ(out.DeviceCount(), 4u);

  ASSERT_TRUE(out.Open());
  EXPECT_EQ(out.State(), mosOpen);
  EXPECT_NE(out.DeviceHandle(), nullptr);
  ASSERT_NE(out.CallbackInfo(), nullptr);
  EXPECT_EQ(out.CallbackInfo()->Ring, nullptr);
  EXPECT_NE(out.CallbackInfo()->NotifyWindow, 0u);
  EXPECT_EQ(service.OpenOutputs(), 1u);

  out.PutShort(0x91, 0x3C, 0x64);
  out.NoteOn(17, 60, 100);
  ASSERT_TRUE(service.WaitOutput(kPortA, 2, std::chrono::seconds(5)));
  const auto log = service.OutputLog(kPortA);
  EXPECT_EQ(log[0].Short, 0x00643C91u);
  EXPECT_EQ(log[1].Short, 0x00643C91u);
  EXPECT_EQ(out.Error(), 0u);

  const TMidiCallbackInfo* block = out.CallbackInfo();
  EXPECT_TRUE(out.Close());
  EXPECT_EQ(out.State(), mosClosed);
  EXPECT_EQ(out.DeviceHandle(), nullptr);
  EXPECT_EQ(out.CallbackInfo(), block) << "the block is kept for the next Open";
  EXPECT_FALSE(out.Close()) << "closing a closed component";
  EXPECT_EQ(out.State(), mosClosed);
  EXPECT_EQ(service.OpenOutputs(), 0u);

  ASSERT_TRUE(out.Open());
  EXPECT_EQ(out.CallbackInfo(), block);
  EXPECT_TRUE(out.Close());

  TMessage query{WM_QUERYENDSESSION, 0, 0, 0};
  out.MidiOutput(query);
  EXPECT_EQ(query.Result, 1);
}

TEST_F(MidiOutTest, ErrorTextsFollowContextThenServiceThenFallback) {
  TMidiOutput out(nullptr);
  struct Row {
    TMIDIErrorContext context;
    MMRESULT code;
    const char* text;
  };
  const Row fixed[] = {
      {ecCaching, 5, "(Caching) The specified device handle is invalid."},
      {ecCaching, 7,
       "(Caching) The device does not have enough memory to cache all of the requested "
       "patches."},
      {ecCaching, 8, "(Caching) The specified device does not support patch caching."},
      {ecCaching, 10, "(Caching) The flag specified by wFlags is invalid."},
      {ecCaching, 11, "(Caching) The array pointed to by lpPatchArray is invalid."},
      {ecPutShort, 5, "(Short Msg) The specified device handle is invalid."},
      {ecPutShort, 67, "(Short Msg) The hardware is busy with other data."},
      {ecPutShort, 70,
       "(Short Msg) The application sent a message without a status byte to a stream handle."},
      {ecPutLong, 5, "(Long Msg) The specified device handle is invalid."},
      {ecPutLong, 11, "(Long Msg) The specified pointer or structure is invalid."},
      {ecPutLong, 64, "(Long Msg) The buffer pointed to by lpMidiOutHdr has not been prepared."},
      {ecPutLong, 67, "(Long Msg) The hardware is busy with other data."},
      {ecOutPrepareHeader, 5, "(Prep Header) The specified device handle is invalid."},
      {ecOutPrepareHeader, 7, "(Prep Header) The system is unable to allocate or lock memory."},
      {ecOutPrepareHeader, 11,
       "(Prep Header) The specified address is invalid or the given stream buffer is greater "
       "than 64K."},
  };
  for (const auto& row : fixed)
    EXPECT_EQ(out.MidiOutErrorString(row.code, row.context), row.text)
        << EnumName(row.context) << " " << row.code;

  // The service's wording: every code without a row of its own, and everything generic.
  struct Fallback {
    TMIDIErrorContext context;
    MMRESULT code;
  };
  const Fallback serviceWorded[] = {
      {ecGeneric, 5}, {ecGeneric, 11}, {ecPutShort, 64},         {ecCaching, 6},
      {ecCaching, 9}, {ecPutLong, 7},  {ecOutPrepareHeader, 67},
  };
  for (const auto& f : serviceWorded) {
    const std::string text = out.MidiOutErrorString(f.code, f.context);
    EXPECT_EQ(text, ServiceText(f.code)) << EnumName(f.context) << " " << f.code;
    EXPECT_FALSE(text.starts_with("("));
  }
  EXPECT_EQ(out.MidiOutErrorString(999, ecGeneric), "Specified error number is out of range");
  EXPECT_EQ(out.MidiOutErrorString(999, ecPutLong), "Specified error number is out of range");

  const std::string five[] = {
      out.MidiOutErrorString(5, ecCaching), out.MidiOutErrorString(5, ecPutShort),
      out.MidiOutErrorString(5, ecPutLong), out.MidiOutErrorString(5, ecOutPrepareHeader)};
  for (int i = 0; i < 4; ++i)
    for (int j = i + 1; j < 4; ++j) EXPECT_NE(five[i], five[j]);
}

// Each failure of the component's operations, with the state it needs and the code it
// records (0: the check comes before any service call).
TEST_F(MidiOutTest, EachFailureRaisesItsTextAndRecordsItsCode) {
  struct Case {
    const char* name;
    bool open;
    const char* failing;  // service operation made to fail, or nullptr
    MMRESULT code;
    std::function<void(TMidiOutput&)> action;
    std::string text;
  };
  const std::uint8_t bytes[] = {0xF0, 0x7E, 0xF7};
  TMyMidiEvent shortEvent;
  shortEvent.StatusByte = 0x90;
  const std::vector<Case> cases = {
      {"SetDeviceID open", true, nullptr, 0, [](TMidiOutput& o) { o.SetDeviceID(99); },
       "Change to DeviceID while device was open"},
      {"SetDeviceID count", false, nullptr, 0, [](TMidiOutput& o) { o.SetDeviceID(4); },
       "Invalid device ID"},
      {"SetProductName open", true, nullptr, 0, [](TMidiOutput& o) { o.SetProductName("Synth B"); },
       "Change to ProductName while device was open"},
      {"SetProductName unknown", false, nullptr, 0,
       [](TMidiOutput& o) { o.SetProductName("port a"); },
       "MIDI output Device port a not installed"},
      {"SetTechnology open", true, nullptr, 0, [](TMidiOutput& o) { o.SetTechnology(opt_Synth); },
       "Change to Product Technology while device was open"},
      {"SetTechnology none", false, nullptr, 0,
       [](TMidiOutput& o) {
         o.SetDeviceID(kSynth);
         o.SetTechnology(opt_None);
       },
       "MIDI output technology None not installed"},
      {"PutShort closed", false, nullptr, 0, [](TMidiOutput& o) { o.PutShort(0x90, 1, 2); },
       "(Short Msg) Device not opened."},
      {"PutLong closed", false, nullptr, 0, [&](TMidiOutput& o) { o.PutLong(bytes, 3); },
       "(Long Msg) Device not opened."},
      {"PutMidiEvent closed", false, nullptr, 0,
       [&](TMidiOutput& o) { o.PutMidiEvent(shortEvent); }, "MIDI Output device not open"},
      {"capabilities refused", false, "midiOutGetDevCapsA", 5,
       [](TMidiOutput& o) { o.SetDeviceID(kSynth); }, ServiceText(5)},
      {"search refused", false, "midiOutGetDevCapsA", 6,
       [](TMidiOutput& o) { o.SetProductName("Synth B"); }, ServiceText(6)},
      {"Close refused", true, "midiOutClose", 65, [](TMidiOutput& o) { o.Close(); },
       ServiceText(65)},
      {"GetVolume refused", false, "midiOutGetVolume", 8, [](TMidiOutput& o) { o.GetVolume(); },
       ServiceText(8)},
      {"SetVolume refused", false, "midiOutSetVolume", 8, [](TMidiOutput& o) { o.SetVolume(1); },
       ServiceText(8)},
      {"PutShort refused", true, "midiOutShortMsg", 67,
       [](TMidiOutput& o) { o.PutShort(0x90, 1, 2); },
       "(Short Msg) The hardware is busy with other data."},
      {"PutShort refused unlisted", true, "midiOutShortMsg", 64,
       [](TMidiOutput& o) { o.PutShort(0x90, 1, 2); }, ServiceText(64)},
      {"prepare refused", true, "midiOutPrepareHeader", 11,
       [&](TMidiOutput& o) { o.PutLong(bytes, 3); },
       "(Prep Header) The specified address is invalid or the given stream buffer is greater "
       "than 64K."},
      {"send refused", true, "midiOutLongMsg", 67, [&](TMidiOutput& o) { o.PutLong(bytes, 3); },
       "(Long Msg) The hardware is busy with other data."},
      {"no data", true, nullptr, 11, [](TMidiOutput& o) { o.PutLong(nullptr, 3); },
       "(Long Msg) The specified pointer or structure is invalid."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TMidiOutput out(nullptr);
    if (c.open) {
      ASSERT_TRUE(out.Open());
    }
    if (c.failing) service.FailCall(c.failing, c.code);
    EXPECT_EQ(RaisedText([&] { c.action(out); }), c.text);
    EXPECT_EQ(out.Error(), c.code);
    EXPECT_EQ(out.State(), c.open ? mosOpen : mosClosed);
    service.ClearFailures();
    if (c.open) {
      EXPECT_TRUE(out.Close());
    }
  }
}

// Records what reaches the overridable operations instead of the device.
class TRecordingOutput : public TMidiOutput {
 public:
  using TMidiOutput::TMidiOutput;
  bool Open() override {
    calls.push_back("Open");
    return TMidiOutput::Open();
  }
  bool Close() override {
    calls.push_back("Close");
    return TMidiOutput::Close();
  }
  void PutShort(std::uint8_t status, std::uint8_t data1, std::uint8_t data2) override {
    shorts.push_back(std::uint32_t{status} | (std::uint32_t{data1} << 8) |
                     (std::uint32_t{data2} << 16));
  }
  void PutLong(const std::uint8_t* data, std::uint16_t length) override {
    longs.emplace_back(data, data + length);
  }
  std::vector<std::string> calls;
  std::vector<std::uint32_t> shorts;
  std::vector<std::vector<std::uint8_t>> longs;
};

TEST_F(MidiOutTest, ChannelMessagesAndEventsGoThroughTheOverridableSlots) {
  TRecordingOutput out(nullptr);
  ASSERT_TRUE(out.Open());
  struct Case {
    std::function<void()> send;
    std::uint32_t expected;
  };
  const Case cases[] = {
      {[&] { out.NoteOn(17, 60, 100); }, 0x643C91},
      {[&] { out.NoteOff(0, 60, 0); }, 0x003C80},
      {[&] { out.NoteAftertouch(0x2F, 0x80, 0xFF); }, 0xFF80AF},
      {[&] { out.ControllerChange(9, 7, 127); }, 0x7F07B9},
      {[&] { out.ProgramChange(2, 5); }, 0x0005C2},
      {[&] { out.ChangeInstrument(3, gmiGunshot); }, 0x007FC3},
      {[&] { out.ChannelAftertouch(15, 0x90); }, 0x0090DF},
  };
  for (const auto& c : cases) {
    out.shorts.clear();
    c.send();
    ASSERT_EQ(out.shorts.size(), 1u);
    EXPECT_EQ(out.shorts[0], c.expected);
  }

  TMyMidiEvent shortEvent;
  shortEvent.StatusByte = 0xE1;
  shortEvent.DataByte1 = 0x00;
  shortEvent.DataByte2 = 0x40;
  TMyMidiEvent sysex;
  sysex.StatusByte = 0xF0;
  sysex.SysexSize = 3;
  sysex.SysexData = new std::uint8_t[3]{0xF0, 0x01, 0xF7};
  out.shorts.clear();
  out.PutMidiEvent(shortEvent);
  out.PutMidiEvent(sysex);
  EXPECT_EQ(out.shorts, std::vector<std::uint32_t>{0x4000E1});
  ASSERT_EQ(out.longs.size(), 1u);
  EXPECT_EQ(out.longs[0], (std::vector<std::uint8_t>{0xF0, 0x01, 0xF7}));
  EXPECT_TRUE(service.OutputLog(kPortA).empty()) << "the overrides replaced the device";

  out.calls.clear();
  EXPECT_TRUE(out.ChangeDevice(kSynth, true));
  EXPECT_EQ(out.calls, (std::vector<std::string>{"Close", "Open"}));
  EXPECT_EQ(out.DeviceID(), kSynth);
  out.calls.clear();
  EXPECT_FALSE(out.ChangeDevice(kSynth, false)) << "a change without opening reports false";
  EXPECT_EQ(out.calls, std::vector<std::string>{"Close"});
  EXPECT_EQ(out.State(), mosClosed);
}

TEST_F(MidiOutTest, SelectionByNumberNameAndTechnology) {
  TMidiOutput out(nullptr);
  int changes = 0;
  out.SetOnDeviceChanged([&](TObject* sender) {
    EXPECT_EQ(sender, &out);
    ++changes;
  });

  out.SetDeviceID(kSynth);
  EXPECT_EQ(changes, 1);
  EXPECT_EQ(out.ProductName(), "Synth B");
  EXPECT_EQ(out.ManufacturerID(), 2);
  EXPECT_EQ(out.ProductID(), 20);
  EXPECT_EQ(out.DriverVersion(), 0x0200u);
  EXPECT_EQ(out.Technology(), opt_Synth);
  EXPECT_EQ(out.Voices(), 32);
  EXPECT_EQ(out.Notes(), 16);
  EXPECT_EQ(out.ChannelMask(), 0x00FF);
  EXPECT_TRUE(out.GetSupportsLRVolCtrl());

  out.SetDeviceID(MIDI_MAPPER);
  EXPECT_EQ(out.ProductName(), kMapperName);

  // A refused query keeps the new number but the old description, and announces nothing.
  service.FailCall("midiOutGetDevCapsA", 5);
  EXPECT_THROW(out.SetDeviceID(kPortA), EMidiOutputError);
  EXPECT_EQ(out.DeviceID(), kPortA);
  EXPECT_EQ(out.ProductName(), kMapperName);
  EXPECT_EQ(changes, 2);

  // Names: exact, the mapper tried first, the lower of two equal names.
  out.SetProductName("Port A");
  EXPECT_EQ(out.DeviceID(), kPortA);
  out.SetDeviceID(kSynth);
  const auto queriesBefore = service.CallCount("midiOutGetDevCapsA");
  out.SetProductName(kMapperName);
  EXPECT_EQ(out.DeviceID(), MIDI_MAPPER);
  EXPECT_EQ(service.CallCount("midiOutGetDevCapsA") - queriesBefore, 2u)
      << "the mapper answered first, then its description was read";
  EXPECT_THROW(out.SetProductName("PORT A"), EMidiOutputError);
  EXPECT_EQ(out.DeviceID(), MIDI_MAPPER);
  out.SetProductName("Odd");  // the last of the count + 1 candidates
  EXPECT_EQ(out.DeviceID(), kOddTech);

  // Technologies, with the mapper first; a code with no member stays a number.
  out.SetTechnology(opt_Mapper);
  EXPECT_EQ(out.DeviceID(), MIDI_MAPPER);
  out.SetTechnology(opt_MidiPort);
  EXPECT_EQ(out.DeviceID(), kPortA);
  out.SetDeviceID(kOddTech);
  EXPECT_EQ(static_cast<unsigned>(out.Technology()), 7u);
  EXPECT_EQ(out.GetFeaturesAsSet(), TFeatureSet{ftStreaming});
  EXPECT_TRUE(out.GetSupportsStreaming());
  EXPECT_EQ(RaisedText([&] { out.SetTechnology(opt_FMSynth); }),
            "MIDI output technology FM Synth not installed");

  // A service without a mapper: names and technologies are still found among the devices.
  service.SetMapper(std::nullopt);
  out.SetProductName("Synth B");
  EXPECT_EQ(out.DeviceID(), kSynth);
  out.SetTechnology(opt_MidiPort);
  EXPECT_EQ(out.DeviceID(), kPortA);
  EXPECT_EQ(RaisedText([&] { out.SetTechnology(opt_Mapper); }),
            "MIDI output technology MIDI Mapper not installed");
}

TEST_F(MidiOutTest, VolumeFeaturesCachingAndDriverMessages) {
  TMidiOutput out(nullptr);
  std::uint32_t raw = 0;

  out.SetDeviceID(kSynth);  // stereo volume
  std::uint16_t first = 0, second = 0;
  out.GetVolume(first, second);
  EXPECT_EQ(first, 0x1234);
  EXPECT_EQ(second, 0x5678);
  EXPECT_EQ(out.GetVolume(), 0x1234);
  out.SetVolume(0x1111, 0x2222);
  ASSERT_EQ(service.midiOutGetVolume(kSynth, &raw), 0u);
  EXPECT_EQ(raw, 0x11112222u);
  out.SetVolume(0x3333);
  ASSERT_EQ(service.midiOutGetVolume(kSynth, &raw), 0u);
  EXPECT_EQ(raw, 0x33333333u);

  service.midiOutSetVolume(kPortA, 0xAAAABBBB);
  out.SetDeviceID(kPortA);  // one volume for both sides
  out.GetVolume(first, second);
  EXPECT_EQ(first, 0xAAAA);
  EXPECT_EQ(second, 0xAAAA);
  std::uint16_t single = 0;
  out.GetVolume(single);
  EXPECT_EQ(single, 0xAAAA);
  out.SetVolume(0x1000, 0x2000);
  ASSERT_EQ(service.midiOutGetVolume(kPortA, &raw), 0u);
  EXPECT_EQ(raw, 0x10001000u);

  // A refused read leaves both out-parameters as they were.
  service.FailCall("midiOutGetVolume", MMSYSERR_NOTSUPPORTED);
  EXPECT_THROW(out.GetVolume(first, second), EMidiOutputError);
  EXPECT_EQ(first, 0xAAAA);
  EXPECT_EQ(second, 0xAAAA);

  EXPECT_EQ(out.GetFeaturesAsSet(), TFeatureSet{ftVolume});
  EXPECT_FALSE(out.GetSupportsLRVolCtrl());
  out.SetDeviceID(kSynth);
  EXPECT_EQ(out.GetFeaturesAsSet(), (TFeatureSet{ftCaching, ftVolume, ftStereoVolume}));
  EXPECT_TRUE(out.GetSupportsCaching());
  EXPECT_FALSE(out.GetSupportsStreaming());
  EXPECT_TRUE(out.GetSupportsVolControl());

  ASSERT_TRUE(out.Open());
  std::uint16_t patches[128] = {};
  service.FailCall("midiOutCachePatches", 8);
  EXPECT_FALSE(out.CachePatches(0, patches, 0));
  EXPECT_EQ(out.Error(), 8u);
  EXPECT_EQ(out.MidiOutErrorString(out.Error(), ecCaching),
            "(Caching) The specified device does not support patch caching.");
  service.FailCall("midiOutCacheDrumPatches", 10);
  EXPECT_FALSE(out.CacheDrumPatches(0, patches, 0xFF));
  EXPECT_EQ(out.Error(), 10u);

  // The driver's answer is handed back and not recorded.
  service.FailCall("midiOutMessage", 11);
  EXPECT_EQ(out.DriverMidiMessage(0x4000, 1, 2), 11u);
  EXPECT_EQ(out.Error(), 10u);
  EXPECT_TRUE(out.Close());
}

TEST_F(MidiOutTest, EachLongMessageIsReleasedByItsOwnCompletion) {
  TMidiOutput out(nullptr);
  ASSERT_TRUE(out.Open());
  const std::size_t withBlock = GlobalLiveBlocks();
  std::vector<std::size_t> liveAtEvent;
  out.SetOnMidiOutput([&](TObject* sender) {
    EXPECT_EQ(sender, &out);
    liveAtEvent.push_back(GlobalLiveBlocks());
  });

  const std::uint8_t first[] = {0xF0, 0x43, 0x10, 0xF7};
  const std::uint8_t second[] = {0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7};
  out.PutLong(first, sizeof first);
  out.PutLong(second, sizeof second);
  out.PutLong(first, 0);  // nothing to send
  EXPECT_EQ(GlobalLiveBlocks(), withBlock + 4) << "header and data block per message";

  ASSERT_TRUE(PumpUntil([&] { return liveAtEvent.size() == 2; }));
  EXPECT_EQ(liveAtEvent, (std::vector<std::size_t>{withBlock + 2, withBlock}));
  const auto log = service.OutputLog(kPortA);
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].Bytes, std::vector<std::uint8_t>(first, first + sizeof first));
  EXPECT_EQ(log[1].Bytes, std::vector<std::uint8_t>(second, second + sizeof second));
  EXPECT_EQ(service.PreparedHeaders(), 0u);
  EXPECT_TRUE(out.Close());
}

// One-shot handlers clear themselves; the running handler must outlive that.
TEST_F(MidiOutTest, HandlersMayReplaceThemselves) {
  TMidiOutput out(nullptr);
  std::vector<std::string> seen;
  const std::string changed(64, 'c'), done(64, 'd');  // long: the captured copies are on the heap
  out.SetOnDeviceChanged([&out, &seen, changed](TObject*) {
    out.SetOnDeviceChanged(nullptr);
    seen.push_back(changed);  // reads its capture after the replacement
  });
  out.SetOnMidiOutput([&out, &seen, done](TObject*) {
    out.SetOnMidiOutput(nullptr);
    seen.push_back(done);
  });
  out.SetDeviceID(kSynth);
  out.SetDeviceID(kPortA);
  ASSERT_TRUE(out.Open());
  const std::size_t withBlock = GlobalLiveBlocks();
  const std::uint8_t bytes[] = {0xF0, 0xF7};
  out.PutLong(bytes, sizeof bytes);
  out.PutLong(bytes, sizeof bytes);
  ASSERT_TRUE(PumpUntil([&] { return GlobalLiveBlocks() == withBlock; }));
  EXPECT_EQ(seen, (std::vector<std::string>{changed, done}));
  EXPECT_TRUE(out.Close());
}

TEST_F(MidiOutTest, OpenFailuresLeaveNothingBehind) {
  TMidiOutput out(nullptr);

  service.FailCall("midiOutOpen", 4);
  EXPECT_FALSE(out.Open());
  EXPECT_EQ(out.Error(), 4u);
  EXPECT_EQ(out.State(), mosClosed);
  EXPECT_EQ(out.CallbackInfo(), nullptr);
  EXPECT_EQ(out.DeviceHandle(), nullptr);
  EXPECT_EQ(GlobalLiveBlocks(), blocksBefore);

  GlobalAllocFailAt(1);
  EXPECT_FALSE(out.Open());
  EXPECT_EQ(out.Error(), 7u);
  EXPECT_EQ(out.CallbackInfo(), nullptr);
  EXPECT_EQ(service.OpenOutputs(), 0u);
  EXPECT_EQ(GlobalLiveBlocks(), blocksBefore);

  // A second Open of an open component changes nothing.
  ASSERT_TRUE(out.Open());
  service.FailCall("midiOutCachePatches", 8);
  out.CachePatches(0, nullptr, 0);
  const auto* block = out.CallbackInfo();
  const HMIDIOUT handle = out.DeviceHandle();
  const auto opensBefore = service.CallCount("midiOutOpen");
  EXPECT_FALSE(out.Open());
  EXPECT_EQ(out.CallbackInfo(), block);
  EXPECT_EQ(out.DeviceHandle(), handle);
  EXPECT_EQ(out.Error(), 8u);
  EXPECT_EQ(service.OpenOutputs(), 1u);
  EXPECT_EQ(service.CallCount("midiOutOpen"), opensBefore);
  EXPECT_TRUE(out.Close());
}

TEST_F(MidiOutTest, PutLongFailuresReleaseTheirBuffer) {
  struct Case {
    const char* name;
    const char* failing;  // service operation made to fail, or nullptr
    MMRESULT code;
    std::size_t failingAllocation;  // 1: header block, 2: data block, 0: none
    std::string text;
  };
  const Case cases[] = {
      {"prepare refused", "midiOutPrepareHeader", 7, 0,
       "(Prep Header) The system is unable to allocate or lock memory."},
      {"send refused", "midiOutLongMsg", 5, 0,
       "(Long Msg) The specified device handle is invalid."},
      {"header block", nullptr, 7, 1,
       "(Prep Header) The system is unable to allocate or lock memory."},
      {"data block", nullptr, 7, 2,
       "(Prep Header) The system is unable to allocate or lock memory."},
  };
  const std::uint8_t bytes[] = {0xF0, 0x01, 0x02, 0xF7};
  TMidiOutput out(nullptr);
  ASSERT_TRUE(out.Open());
  const std::size_t withBlock = GlobalLiveBlocks();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.failing) service.FailCall(c.failing, c.code);
    GlobalAllocFailAt(c.failingAllocation);
    EXPECT_EQ(RaisedText([&] { out.PutLong(bytes, sizeof bytes); }), c.text);
    GlobalAllocFailAt(0);
    EXPECT_EQ(out.Error(), c.code);
    EXPECT_EQ(GlobalLiveBlocks(), withBlock);
    EXPECT_EQ(service.PreparedHeaders(), 0u);
    EXPECT_EQ(service.LongMessagesInFlight(), 0u);
    EXPECT_TRUE(service.OutputLog(kPortA).empty());
  }
  EXPECT_TRUE(out.Close());
}

TEST_F(MidiOutTest, DestructionWaitsForLongMessagesAndRefusedCloses) {
  const std::uint8_t bytes[] = {0xF0, 0x11, 0xF7};
  {
    auto out = std::make_unique<TMidiOutput>(nullptr);
    ASSERT_TRUE(out->Open());
    out->PutLong(bytes, sizeof bytes);
    out->PutLong(bytes, sizeof bytes);
    service.FailCall("midiOutClose", MIDIERR_STILLPLAYING);
    EXPECT_NO_THROW(out.reset());
  }
  EXPECT_EQ(GlobalLiveBlocks(), blocksBefore);
  EXPECT_EQ(service.OpenOutputs(), 0u);

  // Completions already posted when the component goes are handled while the device is
  // still open to unprepare on.
  {
    TMidiOutput out(nullptr);
    ASSERT_TRUE(out.Open());
    out.PutLong(bytes, sizeof bytes);
    service.WaitIdle();
  }
  EXPECT_EQ(service.PreparedHeaders(), 0u);
  EXPECT_EQ(GlobalLiveBlocks(), blocksBefore);

  // A completion handled after Close, without a handle to unprepare with, still releases
  // its buffer and announces it.
  {
    TMidiOutput out(nullptr);
    int outputs = 0;
    out.SetOnMidiOutput([&](TObject*) { ++outputs; });
    auto* buffer = new TMyMidiHdr(16);
    buffer->Header->dwUser = reinterpret_cast<std::uintptr_t>(buffer);
    TMessage done{WM_MIDIOUTDONE, 0, reinterpret_cast<std::uintptr_t>(buffer->Header), 0};
    out.MidiOutput(done);
    EXPECT_EQ(outputs, 1);
    EXPECT_EQ(GlobalLiveBlocks(), blocksBefore);
  }
}

// A device that never lets go: the destructor gives up without raising and leaves the block
// the device can still call back with.
TEST_F(MidiOutTest, DestructionLeavesTheCallbackBlockToADeviceThatStaysOpen) {
  auto out = std::make_unique<TMidiOutput>(nullptr);
  ASSERT_TRUE(out->Open());
  const HMIDIOUT handle = out->DeviceHandle();
  auto* block = const_cast<TMidiCallbackInfo*>(out->CallbackInfo());
  service.FailCall("midiOutClose", MIDIERR_STILLPLAYING, 0, 1000000);
  EXPECT_NO_THROW(out.reset());
  EXPECT_EQ(service.OpenOutputs(), 1u);
  EXPECT_EQ(GlobalLiveBlocks(), blocksBefore + 1);

  service.ClearFailures();
  EXPECT_EQ(service.midiOutClose(handle), 0u);
  GlobalSharedLockedFree(block->BlockHandle, block);
}

TEST_F(MidiOutTest, PublishedPropertiesByName) {
  TMidiOutput out(nullptr);
  EXPECT_FALSE(out.IsPropertyStored("DeviceID"));
  out.SetPropertyText("DeviceID", "1");
  EXPECT_EQ(out.GetPropertyText("ProductName"), "Synth B");
  out.SetPropertyText("ProductName", "Port A");
  EXPECT_EQ(out.GetPropertyText("DeviceID"), "0");
  out.SetPropertyText("ProductName", kMapperName);
  EXPECT_EQ(out.GetPropertyText("DeviceID"), "4294967295");

  std::vector<std::string> names;
  for (const auto& p : out.PublishedProperties()) names.push_back(p.Name);
  EXPECT_EQ(names, (std::vector<std::string>{"Name", "Tag", "ProductName", "DeviceID",
                                             "OnMidiOutput", "OnDeviceChanged"}));

  // While loading, a stored name is not applied; the number is, and the events are bound.
  int outputs = 0;
  int changes = 0;
  const THandlerResolver resolver = [&](const std::string& name) -> TNotifyEvent {
    if (name == "OutputDone") return [&](TObject*) { ++outputs; };
    if (name == "DeviceChanged") return [&](TObject*) { ++changes; };
    return {};
  };
  TMidiOutput loaded(nullptr);
  loaded.LoadFromText(
      "Name = MidiPCToSynth\nDeviceID = 1\nProductName = Port A\nOnMidiOutput = OutputDone\n"
      "OnDeviceChanged = DeviceChanged\n",
      resolver);
  EXPECT_EQ(loaded.DeviceID(), kSynth);
  EXPECT_EQ(loaded.ProductName(), "Synth B");
  EXPECT_EQ(loaded.GetPropertyText("OnMidiOutput"), "OutputDone");
  loaded.SetDeviceID(kPortA);
  EXPECT_EQ(changes, 1);
  ASSERT_TRUE(loaded.Open());
  const std::uint8_t bytes[] = {0xF0, 0xF7};
  loaded.PutLong(bytes, sizeof bytes);
  ASSERT_TRUE(PumpUntil([&] { return outputs == 1; }));
  EXPECT_TRUE(loaded.Close());
}

TEST_F(MidiOutTest, ThousandOpenCloseCyclesLeaveNothing) {
  const std::uint8_t bytes[] = {0xF0, 0x7D, 0x00, 0xF7};
  for (int cycle = 0; cycle < 1000; ++cycle) {
    TMidiOutput out(nullptr);
    ASSERT_TRUE(out.Open()) << cycle;
    out.NoteOn(0, 60, 100);
    // Odd cycles leave closing, and waiting for the long message, to the destructor.
    if (cycle % 10 == 5) out.PutLong(bytes, sizeof bytes);
    if (cycle % 2 == 0) {
      EXPECT_TRUE(out.Close());
    }
  }
  EXPECT_EQ(service.OpenOutputs(), 0u);
}

}  // namespace
}  // namespace velora
