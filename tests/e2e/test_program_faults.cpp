// The program meets failing devices and hostile settings files: a keyboard or a synthesizer
// that dies while Velora has it open, a settings file it may not write, and one of noise.
#include <QDialog>
#include <QMessageBox>
#include <QTimer>
#include <algorithm>
#include <random>

#include "ProgramFixture.h"

namespace velora::e2e {
namespace {

class ProgramFaults : public TProgramTest {
 protected:
  // JACK drops a killed client's ports in its own time (with a synchronous server only once
  // the cycle it held up has timed out); the user's next action comes after that.
  static bool PortGone(const TClientProcess& client) {
    return PumpUntil([&] { return !JackPortExists(client.Name()); });
  }
};

TEST_F(ProgramFaults, KeyboardKilledWhileOpen) {
  auto doomed = StartClient("keyboard", "Doomed");
  auto spare = StartClient("keyboard", "Spare");
  auto synth = StartClient("synth", "Synth");
  WriteSettings("[MidiDevices]\nInput=" + doomed->Name() + "\nOutput=" + synth->Name() + "\n");
  CreateForm();
  ASSERT_TRUE(Errors.empty()) << Errors[0].Text;
  ASSERT_EQ(Form->MidiSynthToPC->State(), misOpen);
  doomed->Send("90 3C 64");
  ASSERT_EQ(synth->WaitFor(1), std::vector<std::string>{"90 3C 64"});

  doomed->Kill();
  ASSERT_TRUE(PortGone(*doomed));
  PumpRounds(100);
  EXPECT_TRUE(Errors.empty());

  // Clicking it again closes the input and tries to open the device that is gone.
  Click(Form->lbMidiIn, doomed->Name());
  ASSERT_EQ(Errors.size(), 1u);
  EXPECT_EQ(Errors[0].Caption, "Velora");
  EXPECT_EQ(Errors[0].Text, Form->MidiSynthToPC->MidiInErrorString(MIDIERR_NODEVICE));
  EXPECT_FALSE(Errors[0].Text.empty());
  EXPECT_EQ(Form->MidiSynthToPC->State(), misClosed);

  Click(Form->lbMidiIn, spare->Name());
  EXPECT_EQ(Errors.size(), 1u);
  EXPECT_EQ(Form->MidiSynthToPC->State(), misOpen);
  spare->Send("90 40 50");
  spare->Send("D0 33");  // channel aftertouch on the held note becomes its key aftertouch
  EXPECT_EQ(synth->WaitFor(3), (std::vector<std::string>{"90 3C 64", "90 40 50", "A0 40 33"}));
  Form.reset();
  EXPECT_EQ(Setting("MidiDevices", "Input"), spare->Name());
}

TEST_F(ProgramFaults, SynthKilledWhileOpen) {
  auto keyboard = StartClient("keyboard", "Keys");
  auto doomed = StartClient("synth", "Doomed");
  auto spare = StartClient("synth", "Spare");
  WriteSettings("[MidiDevices]\nInput=" + keyboard->Name() + "\nOutput=" + doomed->Name() + "\n");
  CreateForm();
  ASSERT_TRUE(Errors.empty()) << Errors[0].Text;
  ASSERT_EQ(Form->MidiPCToSynth->State(), mosOpen);
  keyboard->Send("90 3C 64");
  ASSERT_EQ(doomed->WaitFor(1), std::vector<std::string>{"90 3C 64"});

  doomed->Kill();
  ASSERT_TRUE(PortGone(*doomed));
  PumpRounds(100);
  EXPECT_TRUE(Errors.empty());

  // The keyboard plays on: the send to the lost synthesizer fails, and the failure leaves
  // the translator for the standard error display.
  EXPECT_TRUE(PumpUntil([&] {
    keyboard->Send("80 3C 00");
    PumpRounds(5);
    return !Errors.empty();
  }));
  const std::string lost = Form->MidiPCToSynth->MidiOutErrorString(MIDIERR_NODEVICE, ecPutShort);
  for (const TShownError& error : Errors) EXPECT_EQ(error.Text, lost);

  // On screen: the error box runs a nested loop while the keyboard plays on, and the error
  // that repeats meanwhile is the one showing, not a box per message stacked on top of it.
  App->SetErrorDisplay({});
  int mostBoxes = 0;
  int rounds = 0;
  QTimer watch;
  QObject::connect(&watch, &QTimer::timeout, [&] {
    int boxes = 0;
    for (QWidget* widget : QApplication::topLevelWidgets())
      boxes += qobject_cast<QMessageBox*>(widget) && widget->isVisible() ? 1 : 0;
    mostBoxes = std::max(mostBoxes, boxes);
    if (++rounds <= 20)
      keyboard->Send("D0 11");
    else if (auto* box = qobject_cast<QDialog*>(QApplication::activeModalWidget()))
      box->reject();  // the user's OK
  });
  watch.start(10);
  keyboard->Send("D0 11");
  EXPECT_TRUE(PumpUntil([&] { return rounds > 40 && !QApplication::activeModalWidget(); }));
  watch.stop();
  EXPECT_EQ(mostBoxes, 1);
  RecordErrors();

  // Clicking the synthesizer again closes it and tries to open what is gone.
  Errors.clear();
  Click(Form->lbMidiOut, doomed->Name());
  ASSERT_EQ(Errors.size(), 1u);
  EXPECT_EQ(Errors[0].Text, Form->MidiPCToSynth->MidiOutErrorString(MIDIERR_NODEVICE, ecGeneric));
  EXPECT_EQ(Form->MidiPCToSynth->State(), mosClosed);

  Click(Form->lbMidiOut, spare->Name());
  EXPECT_EQ(Errors.size(), 1u);
  ASSERT_EQ(Form->MidiPCToSynth->State(), mosOpen);
  keyboard->Send("90 41 60");
  keyboard->Send("D0 22");
  EXPECT_EQ(spare->WaitFor(2), (std::vector<std::string>{"90 41 60", "A0 41 22"}));
  Form.reset();
  EXPECT_EQ(Setting("MidiDevices", "Output"), spare->Name());
}

// Even a user whom the system lets write anything finds a read-only settings file untouched.
TEST_F(ProgramFaults, ReadOnlySettingsFile) {
  auto keyboard = StartClient("keyboard", "Keys");
  auto synth = StartClient("synth", "Synth");
  const std::string stored = "[MidiDevices]\nInput=" + keyboard->Name() +
                             "\nOutput=" + synth->Name() + "\n[MIDITrigger]\nTypeIdx=7\n";
  WriteSettings(stored);
  ASSERT_EQ(chmod(IniPath.c_str(), 0444), 0);
  const std::string refused = "Unable to write to " + IniPath;

  // The input is restored, and writing its name back ends start-up.
  CreateForm();
  ASSERT_EQ(Errors.size(), 1u);
  EXPECT_EQ(Errors[0].Text, refused);
  EXPECT_EQ(Form->MidiSynthToPC->State(), misOpen);
  EXPECT_EQ(Form->MidiPCToSynth->State(), mosClosed);

  // A click opens the synthesizer and then reports the write; the devices work all the same.
  Click(Form->lbMidiOut, synth->Name());
  ASSERT_EQ(Errors.size(), 2u);
  EXPECT_EQ(Errors[1].Text, refused);
  keyboard->Send("90 3C 64");
  EXPECT_EQ(synth->WaitFor(1), std::vector<std::string>{"90 3C 64"});
  QTest::keyClick(Form->cbMidiMsg, Qt::Key_Up);  // the user picks another trigger
  ASSERT_EQ(Errors.size(), 3u);
  EXPECT_EQ(Errors[2].Text, refused);

  Form.reset();
  ASSERT_EQ(Errors.size(), 4u);
  EXPECT_EQ(Errors[3].Text, refused);
  EXPECT_EQ(SettingsText(), stored);
}

TEST_F(ProgramFaults, SettingsFileOfRandomBytes) {
  auto keyboard = StartClient("keyboard", "Keys");
  auto synth = StartClient("synth", "Synth");
  std::mt19937 random(20261211);
  std::string noise(1 << 20, '\0');
  std::generate(noise.begin(), noise.end(), [&] { return static_cast<char>(random()); });
  WriteSettings(noise);

  CreateForm();
  for (const TShownError& error : Errors) ADD_FAILURE() << error.Text;
  for (const TListBox* list : {Form->lbMidiIn, Form->lbMidiOut}) {
    EXPECT_EQ(list->ItemText(list->ItemCount() - 1), "None");
    EXPECT_EQ(list->ItemIndex(), list->ItemCount() - 1);
  }
  EXPECT_EQ(Form->cbMidiMsg->ItemIndex(), 128);

  Click(Form->lbMidiIn, keyboard->Name());
  Click(Form->lbMidiOut, synth->Name());
  keyboard->Send("90 3C 64");
  EXPECT_EQ(synth->WaitFor(1), std::vector<std::string>{"90 3C 64"});
  Form.reset();
  EXPECT_TRUE(Errors.empty());

  EXPECT_EQ(Setting("MidiDevices", "Input"), keyboard->Name());
  EXPECT_EQ(Setting("MidiDevices", "Output"), synth->Name());
  EXPECT_EQ(Setting("MIDITrigger", "TypeIdx"), "128");

  // The next start gives the same choices back.
  CreateForm();
  EXPECT_TRUE(Errors.empty());
  EXPECT_EQ(Form->MidiSynthToPC->State(), misOpen);
  EXPECT_EQ(Form->MidiPCToSynth->State(), mosOpen);
  keyboard->Send("80 3C 00");
  EXPECT_EQ(synth->WaitFor(2), (std::vector<std::string>{"90 3C 64", "80 3C 00"}));
}

}  // namespace
}  // namespace velora::e2e

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::AddGlobalTestEnvironment(new velora::e2e::TPrivateJackServer("velora-e2e-faults"));
  ::testing::AddGlobalTestEnvironment(new velora::testing::TJackEnvironment);
  return RUN_ALL_TESTS();
}
