// The main window: start-up, device lists, device selection by mouse and keyboard, the
// settings file, the error display and the ways the program ends.
#include <sys/stat.h>

#include <QTest>
#include <QTimer>
#include <csignal>

#include "AppFixture.h"

namespace velora {
namespace {

class MainWindowTest : public TWindowTest {
 protected:
  std::vector<std::string> Items(const TListBox* list) {
    std::vector<std::string> items;
    for (int i = 0; i < list->ItemCount(); ++i) items.push_back(list->ItemText(i));
    return items;
  }
  void ClickItem(TListBox* list, int index) {
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {},
                      list->visualItemRect(list->item(index)).center());
  }
};

TEST(SettingsFilePath, BesideTheExecutableWithUpperCaseExtension) {
  const std::pair<const char*, const char*> cases[] = {
      {"/usr/bin/velora", "/usr/bin/velora.INI"},
      {"/opt/Velora/Velora.exe", "/opt/Velora/Velora.INI"},
      {"/opt/my.apps/velora", "/opt/my.apps/velora.INI"},
      {"/opt/velora.tar.gz", "/opt/velora.tar.INI"},
      {"velora", "velora.INI"},
  };
  for (const auto& [executable, settings] : cases)
    EXPECT_EQ(SettingsFilePath(executable), settings) << executable;
}

TEST_F(MainWindowTest, FirstStartWithoutSettingsFile) {
  Service.AddInput({"Keys A"});
  Service.AddInput({"Keys B"});
  Service.AddOutput({"Module"});
  CreateForm();

  EXPECT_EQ(Items(Form->lbMidiIn), (std::vector<std::string>{"Keys A", "Keys B", "None"}));
  EXPECT_EQ(Items(Form->lbMidiOut), (std::vector<std::string>{"Module", "None"}));
  EXPECT_EQ(Form->lbMidiIn->ItemIndex(), 2);
  EXPECT_EQ(Form->lbMidiOut->ItemIndex(), 1);
  EXPECT_EQ(Form->InputIndex, -1);
  EXPECT_EQ(Form->OutputIndex, -1);
  EXPECT_EQ(Service.CallCount("midiInOpen") + Service.CallCount("midiOutOpen"), 0u);
  EXPECT_EQ(Form->cbMidiMsg->ItemIndex(), 128);
  EXPECT_EQ(Form->cbMidiMsg->Text(), "Channel Aftertouch");
  EXPECT_EQ(Form->TriggerStatus, 0xD0);
  EXPECT_FALSE(Form->cbFilterChanAT->isVisible());
  EXPECT_EQ(Setting("MidiDevices", "Input"), "None");
  EXPECT_EQ(Setting("MidiDevices", "Output"), "None");
  EXPECT_EQ(Setting("MIDITrigger", "TypeIdx"), "128");
  EXPECT_TRUE(Errors.empty());
  EXPECT_TRUE(Dialogs.empty());

  // With both devices on "None", the exit leaves the keys alone.
  const std::string before = SettingsText();
  DestroyForm();
  EXPECT_EQ(SettingsText(), before);
}

TEST_F(MainWindowTest, WindowLayout) {
  Service.AddInput({"Keys"});
  CreateForm();
  EXPECT_EQ(Form->windowTitle().toStdString(), " Velora");
  EXPECT_EQ(Form->size(), QSize(197, 413));
  EXPECT_EQ(Form->minimumSize(), Form->maximumSize());
  EXPECT_FALSE(Form->windowIcon().isNull());
  EXPECT_EQ(Form->Panel2->geometry(), QRect(0, 0, 197, 413));
  EXPECT_EQ(Form->Panel2->palette().color(QPalette::Window), QColor(0, 0, 0x80));

  const std::tuple<QWidget*, QRect, const char*> controls[] = {
      {Form->Label1, QRect(7, 8, 81, 16), "From <- Synth"},
      {Form->lbMidiIn, QRect(7, 24, 179, 113), ""},
      {Form->Label2, QRect(7, 142, 70, 16), "To -> Synth "},
      {Form->lbMidiOut, QRect(7, 158, 179, 113), ""},
      {Form->Label3, QRect(11, 282, 131, 16), "Change this to Key AT"},
      {Form->cbMidiMsg, QRect(8, 305, 181, 21), ""},
      {Form->cbFilterChanAT, QRect(12, 333, 177, 17), "Filter Channel AT"},
      {Form->sbDonate, QRect(44, 367, 98, 33), ""},
  };
  for (const auto& [control, geometry, text] : controls) {
    EXPECT_EQ(control->parentWidget(), Form->Panel2);
    EXPECT_EQ(control->geometry(), geometry) << text;
  }
  for (QLabel* label : {Form->Label1, Form->Label2, Form->Label3}) {
    EXPECT_EQ(label->palette().color(QPalette::WindowText), QColor(Qt::yellow));
    EXPECT_EQ(label->font().pixelSize(), 13);
  }
  EXPECT_EQ(Form->Label2->text().toStdString(), "To -> Synth ");
  EXPECT_EQ(Form->lbMidiIn->font().pixelSize(), 11);
  EXPECT_EQ(Form->lbMidiIn->palette().color(QPalette::Text), QColor(0, 0, 0x80));
  EXPECT_EQ(Form->sbDonate->iconSize(), QSize(93, 27));
  EXPECT_EQ(Form->sbDonate->focusPolicy(), Qt::NoFocus);
  EXPECT_EQ(Form->sbDonate->Hint(),
            "If you would like to help pay for the development of this program, that would be "
            "great");
  EXPECT_TRUE(Form->sbDonate->toolTip().isEmpty());

  // The input component as the window's description sets it up.
  EXPECT_EQ(Form->MidiSynthToPC->Name(), "MidiSynthToPC");
  EXPECT_EQ(Form->MidiSynthToPC->SysexBufferSize(), 4096);
  EXPECT_EQ(Form->MidiSynthToPC->FilteredMessages(),
            (TMidiMsgFilter{msgActiveSensing, msgMidiTimeCode}));
  EXPECT_EQ(Form->MidiSynthToPC->GetPropertyText("OnMidiInput"), "MidiSynthToPCMidiInput");
  EXPECT_EQ(Form->MidiPCToSynth->Name(), "MidiPCToSynth");

  Form->lbMidiIn->setFocus();
  const QWidget* expectedOrder[] = {Form->lbMidiOut, Form->cbMidiMsg, Form->cbFilterChanAT};
  QWidget* current = Form->lbMidiIn;
  for (const QWidget* next : expectedOrder) {
    current = current->nextInFocusChain();
    while (current->focusPolicy() == Qt::NoFocus || current->focusProxy() ||
           current->parentWidget() != Form->Panel2)
      current = current->nextInFocusChain();
    EXPECT_EQ(current, next);
  }
}

TEST_F(MainWindowTest, TriggerItemTexts) {
  CreateForm();
  ASSERT_EQ(Form->cbMidiMsg->ItemCount(), 129);
  const std::pair<int, const char*> items[] = {
      {0, "Continious Controller 0 "},    {1, "Continious Controller 1"},
      {2, "Continious Controller 2 "},    {3, "Continious Controller 3 "},
      {4, "Continious Controller 4"},     {10, "Continious Controller 10 "},
      {19, "Continious Controller 19"},   {123, "Continious Controller 123 "},
      {127, "Continious Controller 127"}, {128, "Channel Aftertouch"},
  };
  for (const auto& [index, text] : items) EXPECT_EQ(Form->cbMidiMsg->ItemText(index), text);
}

TEST_F(MainWindowTest, RememberedDevicesReopenedIgnoringLetterCase) {
  Service.AddInput({"Alpha"});
  Service.AddInput({"Synth In"});
  Service.AddOutput({"Sound Module"});
  WriteSettings("[mididevices]\ninput=SYNTH in\nOUTPUT=sound module\n[MIDITrigger]\nTypeIdx=7\n");
  CreateForm();

  EXPECT_EQ(Form->lbMidiIn->ItemIndex(), 1);
  EXPECT_EQ(Form->MidiSynthToPC->State(), misOpen);
  EXPECT_EQ(Form->MidiSynthToPC->DeviceID(), 1u);
  EXPECT_EQ(Form->MidiPCToSynth->State(), mosOpen);
  EXPECT_EQ(Form->cbMidiMsg->ItemIndex(), 7);
  EXPECT_EQ(Form->TriggerController, 7);
  EXPECT_TRUE(Form->cbFilterChanAT->isVisible());
  EXPECT_TRUE(Form->cbFilterChanAT->isChecked());
  // The list's own spelling is written back.
  EXPECT_EQ(Setting("MidiDevices", "Input"), "Synth In");
  EXPECT_EQ(Setting("MidiDevices", "Output"), "Sound Module");

  // Input through the Qt loop reaches the output.
  Service.SendShort(1, 0x90, 60, 100);
  Pump();
  EXPECT_EQ(Sent(0), std::vector<std::string>{"90 3C 64"});
}

TEST_F(MainWindowTest, TwoDevicesOfOneNameReopenTheFirst) {
  Service.AddInput({"Twin"});
  Service.AddInput({"Twin"});
  WriteSettings("[MidiDevices]\nInput=Twin\n");
  CreateForm();
  EXPECT_EQ(Form->lbMidiIn->ItemIndex(), 0);
  EXPECT_EQ(Form->MidiSynthToPC->DeviceID(), 0u);
  EXPECT_EQ(Form->MidiSynthToPC->State(), misOpen);
}

TEST_F(MainWindowTest, VanishedDeviceFallsBackToNoneAtOnce) {
  Service.AddInput({"Keys"});
  WriteSettings("[MidiDevices]\nInput=Gone Keys\nOutput=Gone Module\n");
  CreateForm();
  EXPECT_EQ(Form->lbMidiIn->ItemIndex(), 1);
  EXPECT_EQ(Form->MidiSynthToPC->State(), misClosed);
  EXPECT_EQ(Setting("MidiDevices", "Input"), "None");
  EXPECT_EQ(Setting("MidiDevices", "Output"), "None");
}

struct TStoredTrigger {
  const char* Stored;
  int ItemIndex;
  const char* WrittenBack;
};

class StoredTrigger : public MainWindowTest,
                      public ::testing::WithParamInterface<TStoredTrigger> {};

TEST_P(StoredTrigger, RestoredAndWrittenBack) {
  const TStoredTrigger& c = GetParam();
  WriteSettings(std::string("[MIDITrigger]\nTypeIdx=") + c.Stored + "\n");
  CreateForm();
  EXPECT_EQ(Form->cbMidiMsg->ItemIndex(), c.ItemIndex);
  EXPECT_EQ(Setting("MIDITrigger", "TypeIdx"), c.WrittenBack);
  const bool controller = c.ItemIndex != 128;
  EXPECT_EQ(Form->TriggerStatus, controller ? 0xB0 : 0xD0);
  EXPECT_EQ(Form->cbFilterChanAT->isVisible(), controller);
  EXPECT_EQ(Form->cbFilterChanAT->isChecked(), controller);
}

INSTANTIATE_TEST_SUITE_P(MainWindow, StoredTrigger,
                         ::testing::Values(TStoredTrigger{"300", -1, "255"},
                                           TStoredTrigger{"-5", -1, "255"},
                                           TStoredTrigger{"abc", 128, "128"},
                                           TStoredTrigger{"0", 0, "0"},
                                           TStoredTrigger{"128", 128, "128"}));

TEST_F(MainWindowTest, ClickedInputThatFailsToOpenIsShownAndNamedAtExit) {
  Service.AddInput({"Busy Keys"});
  CreateForm();
  Service.FailCall("midiInOpen", MMSYSERR_ALLOCATED);
  ClickItem(Form->lbMidiIn, 0);

  ASSERT_EQ(Errors.size(), 1u);
  EXPECT_EQ(Errors[0].Caption, "Velora");
  EXPECT_EQ(Errors[0].Text, Form->MidiSynthToPC->MidiInErrorString(MMSYSERR_ALLOCATED));
  EXPECT_EQ(Form->InputIndex, 0);
  EXPECT_EQ(Form->lbMidiIn->ItemIndex(), 0);
  EXPECT_EQ(Form->MidiSynthToPC->State(), misClosed);
  EXPECT_EQ(Setting("MidiDevices", "Input"), "None");

  DestroyForm();
  EXPECT_EQ(Setting("MidiDevices", "Input"), "Busy Keys");
}

// Opening the output reports failure only through its result; the window shows the output's
// text for the recorded code, and start-up still restores the trigger.
TEST_F(MainWindowTest, OutputThatFailsToOpenIsShownAndStaysClosed) {
  Service.AddOutput({"Module"});
  WriteSettings("[MidiDevices]\nOutput=Module\n[MIDITrigger]\nTypeIdx=3\n");
  Service.FailCall("midiOutOpen", MMSYSERR_ALLOCATED);
  CreateForm();

  ASSERT_EQ(Errors.size(), 1u);
  EXPECT_EQ(Errors[0].Text, Form->MidiPCToSynth->MidiOutErrorString(MMSYSERR_ALLOCATED, ecGeneric));
  EXPECT_EQ(Form->MidiPCToSynth->State(), mosClosed);
  EXPECT_EQ(Form->OutputIndex, 0);
  EXPECT_EQ(Setting("MidiDevices", "Output"), "Module");
  EXPECT_EQ(Form->TriggerController, 3);
}

TEST_F(MainWindowTest, ArrowKeysOpenEachInputPassedOver) {
  Service.AddInput({"One"});
  Service.AddInput({"Two"});
  Service.AddInput({"Three"});
  WriteSettings("[MidiDevices]\nInput=One\n");
  CreateForm();
  Form->lbMidiIn->setFocus();

  const char* expected[] = {"Two", "Three", "None"};
  for (int step = 0; step < 3; ++step) {
    const auto opens = Service.CallCount("midiInOpen");
    QTest::keyClick(Form->lbMidiIn, Qt::Key_Down);
    EXPECT_EQ(Form->lbMidiIn->ItemIndex(), step + 1);
    EXPECT_EQ(Setting("MidiDevices", "Input"), expected[step]);
    const bool device = step < 2;
    EXPECT_EQ(Service.OpenInputs(), device ? 1u : 0u);
    EXPECT_EQ(Service.CallCount("midiInOpen"), opens + (device ? 1 : 0));
    if (device) {
      EXPECT_EQ(Form->MidiSynthToPC->DeviceID(), static_cast<std::uint32_t>(step + 1));
    }
  }
  // At the end of the list nothing changes and nothing runs.
  const auto opens = Service.CallCount("midiInOpen");
  QTest::keyClick(Form->lbMidiIn, Qt::Key_Down);
  EXPECT_EQ(Form->lbMidiIn->ItemIndex(), 3);
  EXPECT_EQ(Service.CallCount("midiInOpen"), opens);
  EXPECT_TRUE(Errors.empty());
}

TEST_F(MainWindowTest, ClickingTheOpenDeviceAgainReopensIt) {
  Service.AddInput({"Keys"});
  WriteSettings("[MidiDevices]\nInput=Keys\n");
  CreateForm();
  ASSERT_EQ(Form->MidiSynthToPC->State(), misOpen);
  const auto opens = Service.CallCount("midiInOpen");
  const auto closes = Service.CallCount("midiInClose");

  ClickItem(Form->lbMidiIn, 0);
  EXPECT_EQ(Service.CallCount("midiInClose"), closes + 1);
  EXPECT_EQ(Service.CallCount("midiInOpen"), opens + 1);
  EXPECT_EQ(Form->MidiSynthToPC->State(), misOpen);

  // A click beside the items or a ctrl-click leaves the selection and the device alone.
  QTest::mouseClick(Form->lbMidiIn->viewport(), Qt::LeftButton, {}, QPoint(90, 100));
  QTest::mouseClick(Form->lbMidiIn->viewport(), Qt::LeftButton, Qt::ControlModifier,
                    Form->lbMidiIn->visualItemRect(Form->lbMidiIn->item(0)).center());
  EXPECT_EQ(Form->lbMidiIn->ItemIndex(), 0);
  EXPECT_EQ(Service.CallCount("midiInOpen"), opens + 2);

  // Choosing an item from code raises nothing.
  Form->lbMidiIn->SetItemIndex(1);
  EXPECT_EQ(Form->MidiSynthToPC->State(), misOpen);
  EXPECT_EQ(Service.CallCount("midiInOpen"), opens + 2);
}

TEST_F(MainWindowTest, NoneClosesTheOutputAtOnce) {
  Service.AddInput({"Keys"});
  Service.AddOutput({"Module"});
  WriteSettings("[MidiDevices]\nInput=Keys\nOutput=Module\n");
  CreateForm();
  ASSERT_EQ(Service.OpenOutputs(), 1u);

  ClickItem(Form->lbMidiOut, 1);
  EXPECT_EQ(Service.OpenOutputs(), 0u);
  EXPECT_EQ(Form->OutputIndex, -1);
  EXPECT_EQ(Setting("MidiDevices", "Output"), "None");

  Service.SendShort(0, 0x90, 60, 100);
  Pump();
  EXPECT_TRUE(Sent(0).empty());
  EXPECT_TRUE(Errors.empty());

  DestroyForm();
  EXPECT_EQ(Setting("MidiDevices", "Output"), "None");
  EXPECT_EQ(Setting("MidiDevices", "Input"), "Keys");
}

TEST_F(MainWindowTest, ReadOnlySettingsFileEndsStartUpWithTheError) {
  Service.AddInput({"Keys"});
  WriteSettings("[MidiDevices]\nInput=None\n");
  ASSERT_EQ(chmod(IniPath.c_str(), 0444), 0);
  CreateForm();

  ASSERT_EQ(Errors.size(), 1u);
  EXPECT_EQ(Errors[0].Text, "Unable to write to " + IniPath);
  // Start-up ended in the input step: the trigger was not restored.
  EXPECT_EQ(Form->TriggerStatus, 0);
  EXPECT_EQ(Form->MidiPCToSynth->State(), mosClosed);
  DestroyForm();
  EXPECT_EQ(SettingsText(), "[MidiDevices]\nInput=None\n");
  EXPECT_EQ(Errors.size(), 1u);
}

TEST_F(MainWindowTest, NoInputDeviceWarnsThenTheProgramEnds) {
  Service.AddOutput({"Module"});
  App->SetMainForm(nullptr);
  CreateForm();
  App->SetMainForm(Form.get());

  ASSERT_EQ(Dialogs.size(), 1u);
  EXPECT_EQ(Dialogs[0].Text, "You need a Midi interface for this program to work.");
  EXPECT_EQ(Dialogs[0].Caption, "Error");
  EXPECT_EQ(Dialogs[0].DlgType, mtError);
  EXPECT_EQ(Dialogs[0].Buttons, TMsgDlgButtons{mbOK});
  EXPECT_EQ(Dialogs[0].HelpCtx, 0);
  EXPECT_TRUE(App->Terminated());
  // The rest of start-up still ran.
  EXPECT_EQ(Items(Form->lbMidiOut), (std::vector<std::string>{"Module", "None"}));
  EXPECT_EQ(Setting("MIDITrigger", "TypeIdx"), "128");

  bool loopRan = false;
  QTimer::singleShot(0, [&] {
    loopRan = true;
    QCoreApplication::quit();
  });
  App->Run();
  EXPECT_FALSE(loopRan);
  QCoreApplication::processEvents();  // the guard timer above fires here and ends nothing
}

// Closing the window, SIGINT and SIGTERM all end the loop and then FormDestroy writes.
class ProgramEnd : public MainWindowTest, public ::testing::WithParamInterface<int> {};

TEST_P(ProgramEnd, LoopEndsAndFormDestroyWrites) {
  Service.AddInput({"Keys"});
  WriteSettings("[MidiDevices]\nInput=Keys\n");
  App->InstallTerminationSignals();
  CreateForm();
  App->SetMainForm(Form.get());
  ASSERT_EQ(Form->MidiSynthToPC->State(), misOpen);
  // Someone else changed the file meanwhile; FormDestroy writes the device name again.
  TIniFile(IniPath).WriteString("MidiDevices", "Input", "Other");

  const int signal = GetParam();
  QTimer::singleShot(0, [&] {
    if (signal == 0)
      Form->close();
    else
      std::raise(signal);
  });
  App->Run();
  EXPECT_TRUE(App->Terminated());
  EXPECT_FALSE(Form->isVisible());
  DestroyForm();
  EXPECT_EQ(Setting("MidiDevices", "Input"), "Keys");
  EXPECT_TRUE(Errors.empty());
}

INSTANTIATE_TEST_SUITE_P(MainWindow, ProgramEnd, ::testing::Values(0, SIGINT, SIGTERM),
                         [](const auto& info) {
                           return info.param == 0        ? std::string("Close")
                                  : info.param == SIGINT ? std::string("Sigint")
                                                         : std::string("Sigterm");
                         });

// An error that leaves a handler is shown, and the program goes on.
TEST_F(MainWindowTest, HandlerErrorIsShownAndTheWindowGoesOn) {
  Service.AddInput({"Keys"});
  CreateForm();
  Service.FailCall("midiInStart", MMSYSERR_NOMEM);
  ClickItem(Form->lbMidiIn, 0);
  ASSERT_EQ(Errors.size(), 1u);
  EXPECT_EQ(Errors[0].Text, Form->MidiSynthToPC->MidiInErrorString(MMSYSERR_NOMEM));
  // Open but not started; the next click closes and opens it afresh.
  EXPECT_EQ(Form->MidiSynthToPC->State(), misOpen);
  ClickItem(Form->lbMidiIn, 0);
  EXPECT_EQ(Errors.size(), 1u);
  EXPECT_EQ(Setting("MidiDevices", "Input"), "Keys");
}

}  // namespace
}  // namespace velora
