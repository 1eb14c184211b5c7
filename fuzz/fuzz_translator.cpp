// Arbitrary event streams through the real input and output components on the virtual MIDI
// service into the window's translator, checked against a plain model of the translation.
//
// Input layout: byte 0 picks the trigger item (value % 130 - 1, so -1..128), byte 1 bit 0
// unchecks the Channel Aftertouch filter while a controller is the trigger. Then operations:
//   0x00..0x7F  short message, the next 3 bytes (status, data 1, data 2)
//   0x80..0xBF  short message, the next 4 bytes (the service passes the whole 32-bit value)
//   0xC0..0xDF  sysex of (op & 0x1F) + 1 bytes that follow
//   0xE0..0xEF  sysex of (op & 0x0F) + 1 bytes that follow, left unfinished
//   0xF0..0xFF  deliver what was sent so far
// Bytes missing at the end read as 0. Events are delivered at least every 32 operations, so
// the ring and the sysex buffers never run out and the model need not know their sizes.
#include <stdlib.h>

#include <QApplication>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "app/Main.h"
#include "platform/MessageWindow.h"
#include "platform/qt/Dialogs.h"
#include "platform/qt/Forms.h"
#include "platform/virtual/VirtualMidiService.h"

using namespace velora;

// Qt's font set-up keeps a few fontconfig blocks until the process ends; they are not ours.
extern "C" __attribute__((used)) const char* __lsan_default_suppressions() {
  return "leak:libfontconfig.so\n";
}

namespace {

constexpr std::uint32_t Keys = 0;    // input device
constexpr std::uint32_t Module = 0;  // output device
constexpr int BatchLimit = 32;

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "fuzz_translator: %s\n", what);
  std::abort();
}

void Check(bool ok, const char* what) {
  if (!ok) Fail(what);
}

std::uint32_t Pack(std::uint8_t status, std::uint8_t data1, std::uint8_t data2) {
  return std::uint32_t{status} | (std::uint32_t{data1} << 8) | (std::uint32_t{data2} << 16);
}

// The translation as its rules state it, kept apart from the window's code.
struct TModel {
  int Trigger = 128;  // combo item: controller 0..127, 128 Channel Aftertouch, -1 none
  bool Filter = false;
  std::uint8_t Held = 0;
  bool Down = false;
  std::uint8_t Pressure = 0;
  std::vector<std::uint32_t> Out;

  void Emit(std::uint8_t status, std::uint8_t data1, std::uint8_t data2) {
    Out.push_back(Pack(status, data1, data2));
  }

  void Short(std::uint32_t packed) {
    // The input drops the lone timing clock and active sensing values.
    if (packed == 0xF8 || packed == 0xFE) return;
    const auto status = static_cast<std::uint8_t>(packed & 0xFF);
    // A sysex status byte never leaves, not even as a lone short message.
    if (status == 0xF0) return;
    const auto data1 = static_cast<std::uint8_t>((packed >> 8) & 0xFF);
    const auto data2 = static_cast<std::uint8_t>((packed >> 16) & 0xFF);
    const auto kind = static_cast<std::uint8_t>(status & 0xF0);
    const auto keyAftertouch = static_cast<std::uint8_t>(0xA0 | (status & 0x0F));
    // With no item chosen the trigger controller reads 255.
    const auto controller = static_cast<std::uint8_t>(Trigger & 0xFF);

    if (kind == 0x80 || (kind == 0x90 && data2 == 0)) {
      if (data1 == Held) {
        if (Pressure != 0) Emit(keyAftertouch, Held, 0);
        Pressure = 0;
        Down = false;
      }
    } else if (kind == 0x90) {
      if (Pressure != 0) Emit(keyAftertouch, Held, 0);
      Held = data1;
      Down = true;
    } else if (kind == 0xB0) {
      if (Down && Trigger != 128 && data1 == controller) {
        Pressure = data2;
        Emit(keyAftertouch, Held, data2);
        return;
      }
    } else if (kind == 0xD0) {
      if (Filter) return;
      if (Down && Trigger == 128) {
        Pressure = data1;
        Emit(keyAftertouch, Held, data1);
        return;
      }
    }
    Emit(status, data1, data2);
  }
};

struct TWorld {
  TVirtualMidiService Service;
  TMidiServiceScope Scope{Service};
  std::unique_ptr<TApplication> App;
  std::unique_ptr<TfMain> Form;
  std::string Dir;
  std::size_t Errors = 0;

  TWorld() {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    static int argc = 1;
    static char name[] = "fuzz_translator";
    static char* argv[] = {name, nullptr};
    new QApplication(argc, argv);  // lives as long as the process
    App = std::make_unique<TApplication>();
    App->SetTitle("Velora");
    App->SetErrorDisplay([this](const std::string&, const std::string& text) {
      std::fprintf(stderr, "fuzz_translator: error shown: %s\n", text.c_str());
      ++Errors;
    });
    SetMessageDialogDisplay([](const TMessageDialog&) { return mrOk; });

    Service.AddInput({"Keys"});
    Service.AddOutput({"Module"});
    const char* shm = std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : "/tmp";
    std::string pattern = std::string(shm) + "/velora-fuzz-XXXXXX";
    Check(mkdtemp(pattern.data()) != nullptr, "no temporary folder");
    Dir = pattern;
    const std::string ini = Dir + "/velora.INI";
    std::ofstream(ini, std::ios::binary) << "[MidiDevices]\nInput=Keys\nOutput=Module\n";
    Form = std::make_unique<TfMain>(ini);
    Check(Form->MidiSynthToPC->State() == misOpen, "input not open");
    Check(Form->MidiPCToSynth->State() == mosOpen, "output not open");
    Check(Errors == 0, "start-up showed an error");

    // Every message that leaves is checked while the translator is in the middle of its work.
    Service.SetOutputHook([this](std::uint32_t, const TRecordedOutput& record) {
      Check(!record.IsLong, "a long message left");
      Check(Form->NoteDown || Form->LastPressure == 0, "NoteDown false with LastPressure set");
    });
    std::atexit([] {
      // The window closes its devices before the service goes.
      TWorld& world = Get();
      world.Form.reset();
      std::filesystem::remove_all(world.Dir);
    });
  }

  static TWorld& Get() {
    static TWorld* world = new TWorld();
    return *world;
  }

  void Deliver() {
    Service.WaitIdle();
    while (ProcessMessages() != 0) {
    }
  }
};

std::uint8_t Take(const std::uint8_t*& data, std::size_t& size) {
  if (size == 0) return 0;
  --size;
  return *data++;
}

void CheckAgainst(TWorld& world, const TModel& model) {
  const auto log = world.Service.OutputLog(Module);
  Check(log.size() == model.Out.size(), "number of messages sent differs from the model");
  for (std::size_t i = 0; i < log.size(); ++i) {
    Check(!log[i].IsLong, "a long message left");
    Check(log[i].Short == model.Out[i], "message sent differs from the model");
  }
  const TfMain& form = *world.Form;
  Check(form.NoteDown || form.LastPressure == 0, "NoteDown false with LastPressure set");
  Check(form.NoteDown == model.Down, "NoteDown differs from the model");
  Check(form.HeldNote == model.Held, "HeldNote differs from the model");
  Check(form.LastPressure == model.Pressure, "LastPressure differs from the model");
  Check(world.Errors == 0, "an error was shown");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  TWorld& world = TWorld::Get();
  TfMain& form = *world.Form;

  // Each input starts from a fresh translator.
  world.Service.ClearOutputLog(Module);
  form.HeldNote = 0;
  form.NoteDown = false;
  form.LastPressure = 0;

  TModel model;
  model.Trigger = Take(data, size) % 130 - 1;
  form.cbMidiMsg->SetItemIndex(model.Trigger);
  form.cbMidiMsgChange(form.cbMidiMsg);
  Check(form.TriggerStatus == (model.Trigger == 128 ? 0xD0 : 0xB0), "TriggerStatus");
  Check(form.TriggerController == static_cast<std::uint8_t>(model.Trigger & 0xFF),
        "TriggerController");
  Check(form.cbFilterChanAT->isChecked() == (model.Trigger != 128), "filter box after change");
  const std::uint8_t flags = Take(data, size);
  if (model.Trigger != 128 && (flags & 1) != 0) form.cbFilterChanAT->setChecked(false);
  model.Filter = form.cbFilterChanAT->isChecked();

  int pending = 0;
  while (size > 0) {
    const std::uint8_t op = Take(data, size);
    if (op < 0xC0) {
      std::uint32_t packed = Take(data, size);
      packed |= std::uint32_t{Take(data, size)} << 8;
      packed |= std::uint32_t{Take(data, size)} << 16;
      if (op >= 0x80) packed |= std::uint32_t{Take(data, size)} << 24;
      world.Service.SendShort(Keys, packed);
      model.Short(packed);
    } else if (op < 0xF0) {
      const bool complete = op < 0xE0;
      const std::size_t length = (op & (complete ? 0x1F : 0x0F)) + 1u;
      std::vector<std::uint8_t> bytes;
      for (std::size_t i = 0; i < length; ++i) bytes.push_back(Take(data, size));
      world.Service.SendSysex(Keys, std::move(bytes), complete);
    }
    if (op >= 0xF0 || ++pending == BatchLimit) {
      world.Deliver();
      CheckAgainst(world, model);
      pending = 0;
    }
  }
  world.Deliver();
  CheckAgainst(world, model);
  return 0;
}
