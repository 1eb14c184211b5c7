// Arbitrary bytes as the settings file, then the window's start-up on a few virtual devices,
// its exit, and a second start on the file the first one left. Checks what restoring must
// hold whatever the file says: the lists, the chosen devices, the trigger, the devices closed
// at exit, and a file that gives the same choices back at the next start.
#include <stdlib.h>

#include <QApplication>
#include <QCoreApplication>
#include <QString>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "app/Main.h"
#include "platform/IniFile.h"
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

// Names a settings file might hold: letter-case variants, a duplicate, a name beyond ASCII,
// and a device that is listed but can no longer be opened.
const std::vector<std::string> InputNames = {"Keys", "KEYS", "Keys",
                                             "\xC3\x9C"
                                             "ber Pads",
                                             "Gone"};
const std::vector<std::string> OutputNames = {"Module", "module", "Synth", "Module", "Lost"};
constexpr int GoneInput = 4;
constexpr int LostOutput = 4;

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "fuzz_settings: %s\n", what);
  std::abort();
}

void Check(bool ok, const char* what) {
  if (!ok) Fail(what);
}

struct TWorld {
  std::unique_ptr<TApplication> App;
  std::string Dir;
  std::string IniPath;
  std::size_t Errors = 0;

  TWorld() {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    static int argc = 1;
    static char name[] = "fuzz_settings";
    static char* argv[] = {name, nullptr};
    new QApplication(argc, argv);  // lives as long as the process
    App = std::make_unique<TApplication>();
    App->SetTitle("Velora");
    App->SetErrorDisplay([this](const std::string&, const std::string&) { ++Errors; });
    SetMessageDialogDisplay([](const TMessageDialog&) { return mrOk; });

    const char* shm = std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : "/tmp";
    std::string pattern = std::string(shm) + "/velora-fuzz-XXXXXX";
    Check(mkdtemp(pattern.data()) != nullptr, "no temporary folder");
    Dir = pattern;
    IniPath = Dir + "/velora.INI";
    std::atexit([] { std::filesystem::remove_all(Get().Dir); });
  }

  static TWorld& Get() {
    static TWorld* world = new TWorld();
    return *world;
  }
};

// The devices of one input. The service keeps what every open made until it goes, so each
// input has its own: otherwise every input would look like a leak to the fuzzer.
struct TDevices {
  TVirtualMidiService Service;
  TMidiServiceScope Scope{Service};

  TDevices() {
    for (const auto& name : InputNames) Service.AddInput({name});
    for (const auto& name : OutputNames) Service.AddOutput({name});
    Service.RemoveInput(GoneInput);
    Service.RemoveOutput(LostOutput);
  }
};

// What one start restored.
struct TRestored {
  int InputIndex;
  int OutputIndex;
  int TriggerItem;
  std::uint8_t TriggerStatus;
  std::uint8_t TriggerController;
  bool Completed;  // start-up ran to its last step
};

bool SameIgnoringCase(const std::string& a, const std::string& b) {
  return QString::fromStdString(a).compare(QString::fromStdString(b), Qt::CaseInsensitive) == 0;
}

// `restored`: start-up reached this list's restoring step.
void CheckList(const TListBox& list, const std::vector<std::string>& names, int index,
               bool restored) {
  const int count = static_cast<int>(names.size());
  Check(list.ItemCount() == count + 1, "list holds the devices and one more item");
  for (int i = 0; i < count; ++i) Check(list.ItemText(i) == names[i], "list item is the device");
  Check(list.ItemText(count) == "None", "list does not end with None");
  Check(index >= -1 && index < count, "device index out of range");
  const int selected = !restored ? -1 : index == -1 ? count : index;
  Check(list.ItemIndex() == selected, "selection differs from the index");
}

// The device a remembered name selects: the first that carries it in any letter case, else
// -1 for "None".
int Remembered(const std::vector<std::string>& names, const std::string& name) {
  for (std::size_t i = 0; i < names.size(); ++i)
    if (SameIgnoringCase(names[i], name)) return static_cast<int>(i);
  return -1;
}

TRestored Start(TWorld& world, TVirtualMidiService& service) {
  // What the file asks for, read as the window reads it.
  const TIniFile ini(world.IniPath);
  const int wantInput = Remembered(InputNames, ini.ReadString("MidiDevices", "Input", "None"));
  const int wantOutput = Remembered(OutputNames, ini.ReadString("MidiDevices", "Output", "None"));
  const std::int32_t typeIdx = ini.ReadInteger("MIDITrigger", "TypeIdx", 128);
  const int wantTrigger = typeIdx >= 0 && typeIdx <= 128 ? typeIdx : -1;

  world.Errors = 0;
  auto form = std::make_unique<TfMain>(world.IniPath);
  const TfMain& f = *form;
  TRestored r{f.InputIndex,    f.OutputIndex,       f.cbMidiMsg->ItemIndex(),
              f.TriggerStatus, f.TriggerController, f.InputIndex != GoneInput};

  Check(r.InputIndex == wantInput, "input other than the file names");
  CheckList(*f.lbMidiIn, InputNames, r.InputIndex, true);
  CheckList(*f.lbMidiOut, OutputNames, r.OutputIndex, r.Completed);

  // The input is open and started on the chosen device, or closed.
  if (r.InputIndex == -1 || r.InputIndex == GoneInput) {
    Check(f.MidiSynthToPC->State() == misClosed, "input open without a device chosen");
  } else {
    Check(f.MidiSynthToPC->State() == misOpen, "chosen input not open");
    Check(f.MidiSynthToPC->DeviceID() == static_cast<std::uint32_t>(r.InputIndex),
          "input open on another device");
  }
  if (r.Completed) {
    Check(r.OutputIndex == wantOutput, "output other than the file names");
    Check(r.TriggerItem == wantTrigger, "trigger other than the file names");
    if (r.OutputIndex == -1 || r.OutputIndex == LostOutput) {
      Check(f.MidiPCToSynth->State() == mosClosed, "output open without a device chosen");
    } else {
      Check(f.MidiPCToSynth->State() == mosOpen, "chosen output not open");
      Check(f.MidiPCToSynth->DeviceID() == static_cast<std::uint32_t>(r.OutputIndex),
            "output open on another device");
    }
    Check(r.TriggerItem >= -1 && r.TriggerItem <= 128, "trigger item out of range");
    Check(r.TriggerController == static_cast<std::uint8_t>(r.TriggerItem & 0xFF),
          "TriggerController differs from the item");
    Check(r.TriggerStatus == (r.TriggerItem == 128 ? 0xD0 : 0xB0),
          "TriggerStatus differs from the item");
    Check(f.cbFilterChanAT->isChecked() == (r.TriggerItem != 128), "filter box checked state");
    Check(f.cbFilterChanAT->isHidden() == (r.TriggerItem == 128), "filter box visibility");
  } else {
    // Opening the input failed: start-up ended there, before the output and the trigger.
    Check(r.OutputIndex == -1 && f.MidiPCToSynth->State() == mosClosed, "output restored");
    Check(r.TriggerStatus == 0, "trigger restored after start-up ended");
  }
  // The only errors a writable folder allows are the devices that cannot be opened.
  const std::size_t expected =
      (r.InputIndex == GoneInput ? 1u : 0u) + (r.OutputIndex == LostOutput ? 1u : 0u);
  Check(world.Errors == expected, "unexpected error shown at start-up");

  form.reset();  // FormDestroy
  // What Qt posted for the window goes before the next one is made, as in the program's loop.
  QCoreApplication::processEvents();
  Check(world.Errors == expected, "error shown at exit");
  Check(service.OpenInputs() == 0 && service.OpenOutputs() == 0, "a device stays open after exit");
  return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  TWorld& world = TWorld::Get();
  {
    std::ofstream file(world.IniPath, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    Check(static_cast<bool>(file), "settings file not written");
  }

  TDevices devices;
  const TRestored first = Start(world, devices.Service);

  // The file left behind names what was chosen.
  const TIniFile ini(world.IniPath);
  const std::string input =
      first.InputIndex == -1 ? "None" : InputNames[static_cast<std::size_t>(first.InputIndex)];
  Check(ini.ReadString("MidiDevices", "Input", "(missing)") == input, "Input in the file");
  if (first.Completed) {
    const std::string output =
        first.OutputIndex == -1 ? "None" : OutputNames[static_cast<std::size_t>(first.OutputIndex)];
    Check(ini.ReadString("MidiDevices", "Output", "(missing)") == output, "Output in the file");
    Check(ini.ReadInteger("MIDITrigger", "TypeIdx", -1000) == first.TriggerController,
          "TypeIdx in the file");
  }

  // The next start gives the same choices back.
  const TRestored second = Start(world, devices.Service);
  Check(second.InputIndex == first.InputIndex, "next start chose another input");
  if (first.Completed) {
    Check(second.OutputIndex == first.OutputIndex, "next start chose another output");
    Check(second.TriggerItem == first.TriggerItem, "next start chose another trigger");
  }
  return 0;
}
