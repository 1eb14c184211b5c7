// TMidiInput against the virtual MIDI service: device selection, open/close with every fault
// rolled back, events in order, overflow recovery, properties by name.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "midi/MidiIn.h"
#include "platform/virtual/VirtualMidiService.h"

namespace velora {
namespace {

struct TReceived {
  std::uint8_t Status = 0;
  std::uint8_t Data1 = 0;
  std::uint8_t Data2 = 0;
  std::uint32_t TimeStamp = 0;
  std::vector<std::uint8_t> Sysex;
  bool IsSysex() const { return Status == 0xF0; }
};

template <typename F>
std::string ErrorOf(F&& action) {
  try {
    action();
  } catch (const EMidiInputError& e) {
    return e.what();
  }
  return "(no error)";
}

// F0, n-2 numbered data bytes, F7 (a single byte is just F0).
std::vector<std::uint8_t> SysexMessage(std::size_t n, std::uint8_t seed = 0) {
  std::vector<std::uint8_t> bytes(n);
  for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<std::uint8_t>((i + seed) & 0x7F);
  bytes.front() = 0xF0;
  if (n > 1) bytes.back() = 0xF7;
  return bytes;
}

class MidiInTest : public ::testing::Test {
 protected:
  void TearDown() override {
    input.reset();
    service.ClearFailures();
    GlobalAllocFailAt(0);
    ExpectDeviceReleased();
    EXPECT_EQ(GlobalLiveBlocks(), live);
  }

  void ExpectDeviceReleased() {
    EXPECT_EQ(service.OpenInputs(), 0u);
    EXPECT_EQ(service.PreparedHeaders(), 0u);
    EXPECT_EQ(service.QueuedBuffers(), 0u);
  }

  // Everything the keyboard sent has reached the callback; the posted messages are handled.
  void Deliver() {
    service.WaitIdle();
    while (ProcessMessages() > 0) {
    }
  }

  // Drains like the translator: every waiting event, each freed after reading.
  void Drain() {
    while (input->GetEventCount() > 0) {
      std::unique_ptr<TMyMidiEvent> event(input->GetMidiEvent());
      ASSERT_NE(event, nullptr);
      TReceived r{event->StatusByte, event->DataByte1, event->DataByte2, event->TimeStamp, {}};
      if (event->SysexData) r.Sysex.assign(event->SysexData, event->SysexData + event->SysexSize);
      EXPECT_EQ(r.Sysex.size(), event->SysexSize);
      received.push_back(std::move(r));
    }
  }
  void Collect() {
    input->SetOnMidiInput([this](TObject* sender) {
      EXPECT_EQ(sender, input.get());
      Drain();
    });
  }

  TVirtualMidiService service;
  TMidiServiceScope scope{service};
  const std::uint32_t keyboard = service.AddInput({"Keyboard", 0x11, 0x22, 0x0105});
  const std::uint32_t synth = service.AddInput({"Synth", 0x33, 0x44, 0x0200});
  const std::size_t live = GlobalLiveBlocks();
  std::unique_ptr<TMidiInput> input = std::make_unique<TMidiInput>(nullptr);
  std::vector<TReceived> received;
};

TEST_F(MidiInTest, ConstructorSelectsTheFirstDevice) {
  EXPECT_EQ(input->State(), misClosed);
  EXPECT_EQ(input->DeviceID(), 0u);
  EXPECT_EQ(input->ProductName(), "Keyboard");
  EXPECT_EQ(input->ManufacturerID(), 0x11);
  EXPECT_EQ(input->ProductID(), 0x22);
  EXPECT_EQ(input->DriverVersion(), 0x0105u);
  EXPECT_EQ(input->Capacity(), 1024);
  EXPECT_EQ(input->SysexBufferSize(), 4096);
  EXPECT_EQ(input->SysexBufferCount(), 16);
  EXPECT_FALSE(input->SysexOnly());
  EXPECT_EQ(input->FilteredMessages(), (TMidiMsgFilter{msgActiveSensing, msgMidiTimeCode}));
  EXPECT_EQ(input->DeviceCount(), 2u);
  service.AddInput({"Late", 0, 0, 0});
  EXPECT_EQ(input->DeviceCount(), 3u);
  EXPECT_NE(input->NotifyWindow(), 0u);
}

TEST_F(MidiInTest, DesignedComponentMakesNoWindow) {
  TComponent form(nullptr);
  form.SetDesigning(true);
  auto* designed = new TMidiInput(&form);  // owned by the form
  EXPECT_EQ(designed->NotifyWindow(), 0u);
  EXPECT_EQ(designed->ProductName(), "Keyboard");
}

TEST(MidiInWithoutDevices, SelectsNothingAndFailsToOpen) {
  TVirtualMidiService empty;
  TMidiServiceScope scope(empty);
  const std::size_t live = GlobalLiveBlocks();
  {
    TMidiInput input(nullptr);
    EXPECT_EQ(input.DeviceID(), 0u);
    EXPECT_EQ(input.ProductName(), "");
    EXPECT_EQ(ErrorOf([&] { input.Open(); }), MidiResultText(MMSYSERR_BADDEVICEID));
    EXPECT_EQ(input.State(), misClosed);
    EXPECT_EQ(ErrorOf([&] { input.SetProductName("Keyboard"); }),
              "MIDI Input Device Keyboard not installed ");
  }
  EXPECT_EQ(empty.OpenInputs(), 0u);
  EXPECT_EQ(GlobalLiveBlocks(), live);
}

TEST_F(MidiInTest, DeviceSelection) {
  int changes = 0;
  input->SetOnDeviceChanged([&](TObject* sender) {
    EXPECT_EQ(sender, input.get());
    ++changes;
  });
  input->SetDeviceID(synth);
  EXPECT_EQ(input->ProductName(), "Synth");
  EXPECT_EQ(input->ManufacturerID(), 0x33);
  EXPECT_EQ(input->DriverVersion(), 0x0200u);
  input->SetDeviceID(synth);  // the same number still queries and announces
  EXPECT_EQ(changes, 2);

  input->SetProductName("Keyboard");
  EXPECT_EQ(input->DeviceID(), keyboard);
  input->SetProductName("Synth");  // the search reaches the last device
  EXPECT_EQ(input->DeviceID(), synth);
  EXPECT_EQ(input->Error(), 0);
  EXPECT_EQ(changes, 4);
  EXPECT_EQ(ErrorOf([&] { input->SetProductName("keyboard"); }),
            "MIDI Input Device keyboard not installed ");

  // The mapper number passes the range test; the capability query decides.
  service.FailCall("midiInGetDevCapsA", MMSYSERR_NODRIVER);
  EXPECT_EQ(ErrorOf([&] { input->SetDeviceID(MIDI_MAPPER); }), MidiResultText(MMSYSERR_NODRIVER));
  EXPECT_EQ(input->DeviceID(), MIDI_MAPPER);
  EXPECT_EQ(input->ProductName(), "Synth");
  EXPECT_EQ(input->Error(), MMSYSERR_NODRIVER);
  EXPECT_EQ(changes, 4);
}

// A one-shot handler clears itself; the running handler must outlive that.
TEST_F(MidiInTest, DeviceChangedHandlerMayReplaceItself) {
  std::vector<std::string> seen;
  const std::string tag(64, 'c');  // long: the captured copy is on the heap
  input->SetOnDeviceChanged([this, &seen, tag](TObject*) {
    input->SetOnDeviceChanged(nullptr);
    seen.push_back(tag);  // reads its capture after the replacement
  });
  input->SetDeviceID(synth);
  input->SetDeviceID(keyboard);
  EXPECT_EQ(seen, std::vector<std::string>{tag});
}

TEST_F(MidiInTest, EveryFailureHasItsText) {
  struct Case {
    const char* what;
    bool open;
    std::function<void(TMidiInput&)> action;
    std::string text;
  };
  const std::vector<Case> cases = {
      {"DeviceID while open", true, [](TMidiInput& m) { m.SetDeviceID(1); },
       "Change to DeviceID while device was open"},
      {"DeviceID out of range", false, [](TMidiInput& m) { m.SetDeviceID(2); },
       "Invalid device ID"},
      {"ProductName while open", true, [](TMidiInput& m) { m.SetProductName("Synth"); },
       "Change to ProductName while device was open"},
      {"unknown ProductName", false, [](TMidiInput& m) { m.SetProductName("Nope"); },
       "MIDI Input Device Nope not installed "},
      {"SysexBufferSize while open", true, [](TMidiInput& m) { m.SetSysexBufferSize(1); },
       "Change to SysexBufferSize while device was open"},
      {"SysexBufferCount while open", true, [](TMidiInput& m) { m.SetSysexBufferCount(1); },
       "Change to SysexBufferCount while device was open"},
      {"Open while open", true, [](TMidiInput& m) { m.Open(); },
       "MIDI input device is already open"},
      {"Capacity 0", false,
       [](TMidiInput& m) {
         m.SetCapacity(0);
         m.Open();
       },
       "Capacity must be between 1 and 5461"},
      {"Capacity 5462", false,
       [](TMidiInput& m) {
         m.SetCapacity(5462);
         m.Open();
       },
       "Capacity must be between 1 and 5461"},
      {"no memory for the ring", false,
       [](TMidiInput& m) {
         GlobalAllocFailAt(1);
         m.Open();
       },
       "Not enough memory to open the MIDI input device"},
      {"service refuses", true,
       [this](TMidiInput& m) {
         service.FailCall("midiInStart", MIDIERR_NOTREADY);
         m.Start();
       },
       MidiResultText(MIDIERR_NOTREADY)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto component = std::make_unique<TMidiInput>(nullptr);
    if (c.open) component->Open();
    EXPECT_EQ(ErrorOf([&] { c.action(*component); }), c.text);
    GlobalAllocFailAt(0);
    EXPECT_EQ(component->State(), c.open ? misOpen : misClosed);
    component.reset();
    ExpectDeviceReleased();
    EXPECT_EQ(GlobalLiveBlocks(), live);
  }
}

TEST_F(MidiInTest, ErrorStrings) {
  EXPECT_EQ(input->MidiInErrorString(MIDIERR_NODEVICE), MidiResultText(MIDIERR_NODEVICE));
  EXPECT_EQ(input->MidiInErrorString(999), "Specified error number is out of range");
}

TEST_F(MidiInTest, OpenStartStopClose) {
  input->SetCapacity(16);
  input->Open();
  EXPECT_EQ(input->State(), misOpen);
  EXPECT_EQ(service.OpenInputs(), 1u);
  EXPECT_EQ(service.PreparedHeaders(), 16u);
  EXPECT_EQ(service.QueuedBuffers(), 16u);
  input->SetCapacity(2000);  // applies at the next Open
  input->Start();
  input->Stop();
  input->Close();
  EXPECT_EQ(input->State(), misClosed);
  ExpectDeviceReleased();
  EXPECT_EQ(GlobalLiveBlocks(), live + 1);  // the callback block stays for the next Open

  const auto starts = service.CallCount("midiInStart");
  const auto resets = service.CallCount("midiInReset");
  input->Close();
  input->Start();
  input->Stop();
  EXPECT_EQ(service.CallCount("midiInStart"), starts);
  EXPECT_EQ(service.CallCount("midiInReset"), resets);
  EXPECT_EQ(input->GetEventCount(), 0);
  EXPECT_EQ(input->GetMidiEvent(), nullptr);

  input->SetSysexBufferCount(0);
  input->OpenAndStart();
  EXPECT_EQ(service.PreparedHeaders(), 0u);
  input->StopAndClose();
}

TEST_F(MidiInTest, FailedOpenLeavesNothingBehind) {
  struct Fault {
    const char* operation;
    std::uint32_t skip;
  };
  std::vector<Fault> faults = {{"midiInOpen", 0}};
  for (std::uint32_t i = 0; i < 16; ++i) faults.push_back({"midiInPrepareHeader", i});
  for (std::uint32_t i = 0; i < 16; ++i) faults.push_back({"midiInAddBuffer", i});
  for (const auto& f : faults) {
    SCOPED_TRACE(std::string(f.operation) + " #" + std::to_string(f.skip));
    service.FailCall(f.operation, MMSYSERR_NOMEM, f.skip);
    EXPECT_EQ(ErrorOf([&] { input->Open(); }), MidiResultText(MMSYSERR_NOMEM));
    EXPECT_EQ(input->State(), misClosed);
    ExpectDeviceReleased();
    EXPECT_EQ(GlobalLiveBlocks(), live);
    service.ClearFailures();
    input->Open();  // still usable
    EXPECT_EQ(service.QueuedBuffers(), 16u);
    input->Close();
  }
}

TEST_F(MidiInTest, FailedAllocationLeavesNothingBehind) {
  // Ring record, ring entries, callback block, then a header and a data block per buffer.
  input->SetSysexBufferCount(3);
  const std::size_t allocations = 3 + 2 * 3;
  for (std::size_t n = 1; n <= allocations; ++n) {
    SCOPED_TRACE("allocation " + std::to_string(n));
    auto component = std::make_unique<TMidiInput>(nullptr);
    component->SetSysexBufferCount(3);
    GlobalAllocFailAt(n);
    EXPECT_THROW(component->Open(), EMidiInputError);
    GlobalAllocFailAt(0);
    EXPECT_EQ(component->State(), misClosed);
    ExpectDeviceReleased();
    EXPECT_EQ(GlobalLiveBlocks(), live);
    component->Open();
    component->Close();
  }
  const std::size_t before = GlobalAllocCalls();
  input->Open();
  EXPECT_EQ(GlobalAllocCalls() - before, allocations);  // every allocation was tried above
  input->Close();
}

TEST_F(MidiInTest, RefusedCloseIsFinishedLater) {
  struct Fault {
    const char* operation;
    std::uint32_t skip;
  };
  std::vector<Fault> faults = {{"midiInReset", 0}, {"midiInClose", 0}};
  for (std::uint32_t i = 0; i < 16; i += 5) faults.push_back({"midiInUnprepareHeader", i});
  enum Retry { byClose, byDestructor, byOpen };
  for (const auto& f : faults) {
    for (Retry retry : {byClose, byDestructor, byOpen}) {
      SCOPED_TRACE(std::string(f.operation) + " #" + std::to_string(f.skip) + " retry " +
                   std::to_string(retry));
      input = std::make_unique<TMidiInput>(nullptr);
      input->OpenAndStart();
      service.SendShort(keyboard, 0x90, 60, 100);
      service.SendSysex(keyboard, SysexMessage(100));
      Deliver();
      ASSERT_EQ(input->GetEventCount(), 2);

      service.FailCall(f.operation, MIDIERR_NOTREADY, f.skip);
      EXPECT_EQ(ErrorOf([&] { input->Close(); }), MidiResultText(MIDIERR_NOTREADY));
      EXPECT_EQ(input->State(), misClosed);
      EXPECT_EQ(input->GetEventCount(), 0);
      EXPECT_EQ(service.OpenInputs(), 1u);  // the device is still there to be closed
      service.ClearFailures();

      if (retry == byClose) input->Close();
      if (retry == byDestructor) input.reset();
      if (retry == byOpen) {
        input->Open();
        EXPECT_EQ(service.OpenInputs(), 1u);
        input->Close();
      }
      ExpectDeviceReleased();
      input.reset();
      EXPECT_EQ(GlobalLiveBlocks(), live);
    }
  }
}

TEST_F(MidiInTest, FailedOpenKeepsADeviceThatRefusesToClose) {
  service.FailCall("midiInAddBuffer", MMSYSERR_NOMEM, 3);
  service.FailCall("midiInClose", MIDIERR_NOTREADY);
  EXPECT_EQ(ErrorOf([&] { input->Open(); }), MidiResultText(MMSYSERR_NOMEM));  // the first cause
  EXPECT_EQ(input->State(), misClosed);
  EXPECT_EQ(service.OpenInputs(), 1u);  // its callback block and ring stay with it
  input->Open();                        // closes it first
  EXPECT_EQ(service.OpenInputs(), 1u);
  EXPECT_EQ(service.QueuedBuffers(), 16u);
  input->Close();
}

// An unplugged device refuses everything but close; it must not stay open for good.
TEST_F(MidiInTest, VanishedDeviceIsStillClosed) {
  for (bool byDestructor : {false, true}) {
    SCOPED_TRACE(byDestructor ? "destructor" : "Close");
    const std::uint32_t id = service.AddInput({"Cable", 0, 0, 0});
    input = std::make_unique<TMidiInput>(nullptr);
    input->SetDeviceID(id);
    input->OpenAndStart();
    service.SendSysex(id, SysexMessage(10));
    service.WaitIdle();
    service.RemoveInput(id);
    if (byDestructor) {
      EXPECT_EQ(ErrorOf([&] { input->StopAndClose(); }), MidiResultText(MIDIERR_NODEVICE));
      input.reset();
    } else {
      EXPECT_EQ(ErrorOf([&] { input->Close(); }), MidiResultText(MIDIERR_NODEVICE));
      EXPECT_EQ(input->State(), misClosed);
      EXPECT_EQ(service.OpenInputs(), 0u);
      input.reset();
    }
    ExpectDeviceReleased();
    EXPECT_EQ(GlobalLiveBlocks(), live);
  }
}

TEST_F(MidiInTest, DestructorClosesAnOpenDevice) {
  input->OpenAndStart();
  service.SendSysex(keyboard, SysexMessage(5000));
  service.SendShort(keyboard, 0x90, 1, 2);
  Deliver();
  EXPECT_EQ(input->GetEventCount(), 3);
  // TearDown checks that the device, the headers and every block are gone.
}

TEST_F(MidiInTest, EventsCarryTheirBytes) {
  input->OpenAndStart();
  service.SendShort(keyboard, 0xAB403C90u, 1234u);  // the highest byte is dropped
  service.SendSysex(keyboard, SysexMessage(3), true, 99u);
  Deliver();
  ASSERT_EQ(input->GetEventCount(), 2);
  std::unique_ptr<TMyMidiEvent> note(input->GetMidiEvent());
  EXPECT_EQ(note->StatusByte, 0x90);
  EXPECT_EQ(note->DataByte1, 0x3C);
  EXPECT_EQ(note->DataByte2, 0x40);
  EXPECT_EQ(note->TimeStamp, 1234u);
  EXPECT_EQ(note->SysexSize, 0);
  EXPECT_EQ(note->SysexData, nullptr);
  std::unique_ptr<TMyMidiEvent> sysex(input->GetMidiEvent());
  EXPECT_EQ(sysex->StatusByte, 0xF0);
  EXPECT_EQ(sysex->DataByte1, 0);
  EXPECT_EQ(sysex->TimeStamp, 99u);
  ASSERT_EQ(sysex->SysexSize, 3);
  EXPECT_EQ(std::vector<std::uint8_t>(sysex->SysexData, sysex->SysexData + 3), SysexMessage(3));
  EXPECT_EQ(input->GetMidiEvent(), nullptr);
  EXPECT_EQ(service.QueuedBuffers(), 16u);  // the buffer went back

  // FlushQueue discards what waits and hands sysex buffers back on the way.
  service.SendSysex(keyboard, SysexMessage(10));
  service.SendShort(keyboard, 0x80, 1, 0);
  Deliver();
  EXPECT_EQ(service.QueuedBuffers(), 15u);
  input->FlushQueue();
  EXPECT_EQ(input->GetEventCount(), 0);
  EXPECT_EQ(service.QueuedBuffers(), 16u);
}

TEST_F(MidiInTest, RoundTripInOrder) {
  Collect();
  input->OpenAndStart();
  const auto sysex1 = SysexMessage(1);
  const auto sysex4096 = SysexMessage(4096, 3);
  const auto sysex20000 = SysexMessage(20000, 7);
  service.SendShort(keyboard, 0x90, 60, 100);
  service.SendSysex(keyboard, sysex1);
  service.SendShort(keyboard, 0xB0, 7, 99);
  service.SendSysex(keyboard, sysex4096);
  service.SendShort(keyboard, 0x80, 60, 0);
  service.SendSysex(keyboard, sysex20000);
  service.SendShort(keyboard, 0xD0, 55, 0);
  const std::size_t expected = 4 + 1 + 1 + 5;  // 20000 bytes span five 4096-byte buffers
  for (int guard = 0; received.size() < expected && guard < 10000; ++guard) {
    if (WaitMessage(10)) ProcessMessages();
  }
  ASSERT_EQ(received.size(), expected);

  // Consecutive sysex events are the pieces of one message.
  std::vector<std::vector<std::uint8_t>> shorts, messages;
  std::vector<std::size_t> pieces;
  bool inSysex = false;
  for (const auto& r : received) {
    if (!r.IsSysex()) {
      shorts.push_back({r.Status, r.Data1, r.Data2});
      inSysex = false;
      continue;
    }
    if (!inSysex) messages.emplace_back();
    messages.back().insert(messages.back().end(), r.Sysex.begin(), r.Sysex.end());
    pieces.push_back(r.Sysex.size());
    inSysex = true;
  }
  EXPECT_EQ(shorts, (std::vector<std::vector<std::uint8_t>>{
                        {0x90, 60, 100}, {0xB0, 7, 99}, {0x80, 60, 0}, {0xD0, 55, 0}}));
  EXPECT_EQ(messages, (std::vector<std::vector<std::uint8_t>>{sysex1, sysex4096, sysex20000}));
  EXPECT_EQ(pieces, (std::vector<std::size_t>{1, 4096, 4096, 4096, 4096, 4096, 3616}));
}

TEST_F(MidiInTest, FilterSettingsApplyWhileOpen) {
  struct Case {
    bool sysexOnly;
    TMidiMsgFilter filter;
    std::vector<std::uint8_t> statuses;
  };
  const std::vector<Case> cases = {
      {false, {msgActiveSensing, msgMidiTimeCode}, {0xF1, 0x90, 0xF0}},
      {false, {}, {0xF8, 0xFE, 0xF1, 0x90, 0xF0}},
      {false, {msgMidiTimeCode}, {0xFE, 0xF1, 0x90, 0xF0}},
      {true, {}, {0xF0}},
  };
  Collect();
  input->OpenAndStart();
  for (const auto& c : cases) {
    SCOPED_TRACE(SetToText(c.filter) + (c.sysexOnly ? " sysex only" : ""));
    input->SetSysexOnly(c.sysexOnly);
    input->SetMsgFilter(c.filter);
    received.clear();
    service.SendShort(keyboard, 0xF8u);
    service.SendShort(keyboard, 0xFEu);
    service.SendShort(keyboard, 0x20F1u);
    service.SendShort(keyboard, 0x90, 60, 1);
    service.SendSysex(keyboard, SysexMessage(3));
    Deliver();
    std::vector<std::uint8_t> statuses;
    for (const auto& r : received) statuses.push_back(r.Status);
    EXPECT_EQ(statuses, c.statuses);
  }
}

TEST_F(MidiInTest, NotifyWindowHandler) {
  const HWND wnd = input->NotifyWindow();
  EXPECT_EQ(SendMessage(wnd, WM_QUERYENDSESSION, 0, 0), 1);
  EXPECT_EQ(SendMessage(wnd, 1234, 0, 0), 0);
  int inputs = 0, overflows = 0;
  input->SetOnMidiInput([&](TObject*) {
    ++inputs;
    Drain();
  });
  input->SetOnOverflow([&](TObject*) { ++overflows; });
  SendMessage(wnd, WM_MIDIDATA, 0, 0);
  SendMessage(wnd, WM_RINGOVERFLOW, 0, 0);
  EXPECT_EQ(inputs + overflows, 0);  // closed: notifications are ignored

  input->OpenAndStart();
  SendMessage(wnd, WM_MIDIDATA, 0, 0);
  EXPECT_EQ(inputs, 0);  // nothing waits
  for (std::uint8_t i = 0; i < 5; ++i) service.SendShort(keyboard, 0x90, i, 1);
  Deliver();
  EXPECT_EQ(inputs, 1);  // the first notification drains all five; the rest find nothing
  EXPECT_EQ(received.size(), 5u);
  SendMessage(wnd, WM_RINGOVERFLOW, 0, 0);
  EXPECT_EQ(overflows, 1);
}

TEST_F(MidiInTest, ChangeDevice) {
  const auto opens = service.CallCount("midiInOpen");
  input->ChangeDevice(keyboard, true);  // the current device: nothing at all
  EXPECT_EQ(input->State(), misClosed);
  EXPECT_EQ(service.CallCount("midiInOpen"), opens);

  Collect();
  input->OpenAndStart();
  input->ChangeDevice(synth, true);
  EXPECT_EQ(input->State(), misOpen);
  EXPECT_EQ(input->ProductName(), "Synth");
  service.SendShort(keyboard, 0x90, 1, 1);
  service.SendShort(synth, 0x90, 2, 2);
  Deliver();
  ASSERT_EQ(received.size(), 1u);
  EXPECT_EQ(received[0].Data1, 2);

  input->ChangeDevice(keyboard, false);
  EXPECT_EQ(input->State(), misClosed);
  EXPECT_EQ(input->DeviceID(), keyboard);
  EXPECT_EQ(service.OpenInputs(), 0u);
}

TEST_F(MidiInTest, RefusedSysexHandBackKeepsTheEntry) {
  for (const char* operation : {"midiInPrepareHeader", "midiInAddBuffer"}) {
    SCOPED_TRACE(operation);
    input->OpenAndStart();
    const auto message = SysexMessage(10);
    service.SendSysex(keyboard, message);
    Deliver();
    ASSERT_EQ(input->GetEventCount(), 1);
    service.FailCall(operation, MMSYSERR_NOMEM);
    EXPECT_EQ(ErrorOf([&] { delete input->GetMidiEvent(); }), MidiResultText(MMSYSERR_NOMEM));
    EXPECT_EQ(input->Error(), MMSYSERR_NOMEM);
    EXPECT_EQ(input->GetEventCount(), 1);
    std::unique_ptr<TMyMidiEvent> event(input->GetMidiEvent());  // the retry has the bytes
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(std::vector<std::uint8_t>(event->SysexData, event->SysexData + event->SysexSize),
              message);
    EXPECT_EQ(service.QueuedBuffers(), 16u);
    input->Close();
  }
}

// A sysex buffer whose entry found the ring full comes back into circulation.
TEST_F(MidiInTest, OverflowedSysexBufferReturnsToTheDevice) {
  enum Path { byOverflowNotice, byOverflowHandler, byGetMidiEvent };
  for (Path path : {byOverflowNotice, byOverflowHandler, byGetMidiEvent}) {
    SCOPED_TRACE(path);
    input = std::make_unique<TMidiInput>(nullptr);
    input->SetCapacity(1);
    input->SetSysexBufferCount(2);
    int overflows = 0;
    if (path == byOverflowHandler) input->SetOnOverflow([&](TObject*) { ++overflows; });
    input->OpenAndStart();
    service.SendSysex(keyboard, SysexMessage(4, 1));
    service.SendSysex(keyboard, SysexMessage(4, 2));  // the ring is full: dropped
    service.WaitIdle();
    EXPECT_EQ(service.QueuedBuffers(), 0u);
    if (path != byGetMidiEvent) {
      while (ProcessMessages() > 0) {
      }
      EXPECT_EQ(service.QueuedBuffers(), 1u);
      EXPECT_EQ(overflows, path == byOverflowHandler ? 1 : 0);
    }
    std::unique_ptr<TMyMidiEvent> first(input->GetMidiEvent());
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(std::vector<std::uint8_t>(first->SysexData, first->SysexData + first->SysexSize),
              SysexMessage(4, 1));
    EXPECT_EQ(service.QueuedBuffers(), 2u);
    input->Close();
  }
}

TEST_F(MidiInTest, SysexKeepsFlowingThroughOverflows) {
  // 10,000 numbered messages through 16 buffers and a 4-entry ring. Each round first floods
  // the component while nothing drains (overflows, lost messages), then sends at the pace
  // the ring can take; every paced message must arrive, in order.
  constexpr int kRounds = 5, kFlood = 100, kPaced = 1900, kBatch = 4;
  input->SetCapacity(kBatch);
  int overflows = 0;
  input->SetOnOverflow([&](TObject*) { ++overflows; });
  Collect();
  input->OpenAndStart();
  auto message = [](int index) {
    return std::vector<std::uint8_t>{0xF0, 0x7D, static_cast<std::uint8_t>((index >> 7) & 0x7F),
                                     static_cast<std::uint8_t>(index & 0x7F), 0xF7};
  };
  int next = 0, pacedArrived = 0;
  for (int round = 0; round < kRounds; ++round) {
    for (int i = 0; i < kFlood; ++i) service.SendSysex(keyboard, message(next++));
    Deliver();
    const int overflowsSoFar = overflows;
    EXPECT_GT(overflowsSoFar, 0);
    received.clear();
    for (int sent = 0; sent < kPaced; sent += kBatch) {
      const int first = next;
      for (int i = 0; i < kBatch; ++i) service.SendSysex(keyboard, message(next++));
      Deliver();
      ASSERT_EQ(received.size(), static_cast<std::size_t>(kBatch)) << "message " << first;
      for (int i = 0; i < kBatch; ++i) EXPECT_EQ(received[i].Sysex, message(first + i));
      pacedArrived += kBatch;
      received.clear();
    }
    EXPECT_EQ(overflows, overflowsSoFar);
    EXPECT_EQ(service.QueuedBuffers(), 16u);
  }
  EXPECT_EQ(next, 10000);
  EXPECT_EQ(pacedArrived, kRounds * kPaced);
}

TEST_F(MidiInTest, ThousandOpenCloseCycles) {
  Collect();
  for (int i = 0; i < 1000; ++i) {
    input->OpenAndStart();
    if (i % 100 == 0) {
      service.SendSysex(keyboard, SysexMessage(8));
      service.SendShort(keyboard, 0x90, 1, 1);
      service.WaitIdle();  // left waiting in the ring for Close to discard
    }
    input->StopAndClose();
    ASSERT_EQ(GlobalLiveBlocks(), live + 1) << "cycle " << i;
  }
  ExpectDeviceReleased();
}

TEST_F(MidiInTest, PublishedPropertiesByName) {
  std::vector<std::string> names;
  for (const auto& p : input->PublishedProperties()) names.push_back(p.Name);
  EXPECT_EQ(names, (std::vector<std::string>{"Name", "Tag", "ProductName", "DeviceID", "Capacity",
                                             "Error", "SysexBufferSize", "SysexBufferCount",
                                             "SysexOnly", "FilteredMessages", "OnMidiInput",
                                             "OnOverflow", "OnDeviceChanged"}));

  struct Case {
    const char* name;
    std::string write, read;
  };
  const std::vector<Case> cases = {
      {"DeviceID", "1", "1"},
      {"ProductName", "Keyboard", "Keyboard"},
      {"Capacity", "200", "200"},
      {"SysexBufferSize", "512", "512"},
      {"SysexBufferCount", "4", "4"},
      {"SysexOnly", "True", "True"},
      {"FilteredMessages", "[msgMidiTimeCode]", "[msgMidiTimeCode]"},
      {"FilteredMessages", "[ msgMidiTimeCode , msgActiveSensing ]",
       "[msgActiveSensing,msgMidiTimeCode]"},
      {"FilteredMessages", "[]", "[]"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name + (" = " + c.write));
    input->SetPropertyText(c.name, c.write);
    EXPECT_EQ(input->GetPropertyText(c.name), c.read);
  }
  EXPECT_EQ(input->DeviceID(), keyboard);
  EXPECT_EQ(input->Capacity(), 200);
  EXPECT_EQ(input->SysexBufferSize(), 512);
  EXPECT_TRUE(input->SysexOnly());
  EXPECT_TRUE(input->FilteredMessages().Empty());
  EXPECT_EQ(input->GetPropertyText("Error"), "0");
  EXPECT_THROW(input->SetPropertyText("Error", "1"), Exception);
  EXPECT_THROW(input->SetPropertyText("FilteredMessages", "[msgTuneRequest]"), Exception);
  EXPECT_THROW(input->SetPropertyText("Capacity", "70000"), Exception);
  EXPECT_THROW(input->SetPropertyText("DeviceID", "7"), EMidiInputError);
}

TEST_F(MidiInTest, StoredProperties) {
  const std::map<std::string, bool> stored = {
      {"ProductName", true}, {"DeviceID", false},        {"Capacity", false},
      {"Error", false},      {"SysexBufferSize", true},  {"SysexBufferCount", false},
      {"SysexOnly", false},  {"FilteredMessages", true}, {"OnMidiInput", false},
  };
  for (const auto& [name, expected] : stored)
    EXPECT_EQ(input->IsPropertyStored(name), expected) << name;
  input->SetSysexBufferSize(10000);
  EXPECT_FALSE(input->IsPropertyStored("SysexBufferSize"));
}

TEST_F(MidiInTest, LoadingIgnoresProductNameAndBindsHandlers) {
  int inputs = 0, changes = 0;
  const std::map<std::string, TNotifyEvent> handlers = {
      {"MidiSynthToPCMidiInput",
       [&](TObject*) {
         ++inputs;
         input->FlushQueue();
       }},
      {"DeviceChanged", [&](TObject*) { ++changes; }},
  };
  input->LoadFromText(
      "ProductName = Synth\n"
      "SysexBufferSize = 4096\n"
      "FilteredMessages = [msgActiveSensing]\n"
      "OnMidiInput = MidiSynthToPCMidiInput\n"
      "OnDeviceChanged = DeviceChanged\n",
      [&](const std::string& name) {
        const auto it = handlers.find(name);
        return it == handlers.end() ? TNotifyEvent() : it->second;
      });
  EXPECT_EQ(input->DeviceID(), keyboard);
  EXPECT_EQ(input->ProductName(), "Keyboard");
  EXPECT_EQ(input->FilteredMessages(), TMidiMsgFilter{msgActiveSensing});
  EXPECT_EQ(input->GetPropertyText("OnMidiInput"), "MidiSynthToPCMidiInput");
  EXPECT_EQ(input->GetPropertyText("OnOverflow"), "");

  input->OpenAndStart();
  service.SendShort(keyboard, 0x90, 1, 1);
  Deliver();
  EXPECT_EQ(inputs, 1);
  input->Close();
  input->SetDeviceID(synth);
  EXPECT_EQ(changes, 1);

  // What one component saves, another reads back (except the product name).
  TMidiInput copy(nullptr);
  copy.LoadFromText(input->SaveToText(), [&](const std::string& name) {
    const auto it = handlers.find(name);
    return it == handlers.end() ? TNotifyEvent() : it->second;
  });
  for (const char* name : {"DeviceID", "SysexBufferSize", "FilteredMessages", "OnMidiInput"})
    EXPECT_EQ(copy.GetPropertyText(name), input->GetPropertyText(name)) << name;
}

}  // namespace
}  // namespace velora
