// The translator through the real input and output components on the virtual MIDI service:
// events in, messages out, held-note state after.
#include <QLineEdit>
#include <QTest>
#include <sstream>

#include "AppFixture.h"

namespace velora {
namespace {

constexpr std::uint32_t Keys = 0;    // input device
constexpr std::uint32_t Module = 0;  // output device

std::vector<std::uint8_t> Bytes(const std::string& hex) {
  std::istringstream in(hex);
  std::vector<std::uint8_t> bytes;
  unsigned value;
  while (in >> std::hex >> value) bytes.push_back(static_cast<std::uint8_t>(value));
  return bytes;
}

class TranslatorTest : public TWindowTest {
 protected:
  void SetUp() override {
    TWindowTest::SetUp();
    Service.AddInput({"Keys"});
    Service.AddOutput({"Module"});
  }

  void Start(int trigger) {
    WriteSettings("[MidiDevices]\nInput=Keys\nOutput=Module\n[MIDITrigger]\nTypeIdx=" +
                  std::to_string(trigger) + "\n");
    CreateForm();
    ASSERT_EQ(Form->MidiSynthToPC->State(), misOpen);
    ASSERT_EQ(Form->MidiPCToSynth->State(), mosOpen);
  }

  // "SS D1 D2" is a short message; a longer text starting F0 is system exclusive.
  void Play(const std::vector<std::string>& events) {
    for (const auto& text : events) {
      const auto bytes = Bytes(text);
      if (bytes.size() > 3) {
        Service.SendSysex(Keys, bytes);
      } else {
        Service.SendShort(Keys, bytes.at(0), bytes.size() > 1 ? bytes[1] : 0,
                          bytes.size() > 2 ? bytes[2] : 0);
      }
    }
  }
};

struct TTranslation {
  const char* Name;
  int Trigger;  // combo item: controller number, or 128 for Channel Aftertouch
  bool Filter;  // the Channel Aftertouch filter box (only while a controller is the trigger)
  std::vector<std::string> In;
  std::vector<std::string> Out;
  std::uint8_t HeldNote;
  bool NoteDown;
  std::uint8_t LastPressure;
};

class TranslationTable : public TranslatorTest,
                         public ::testing::WithParamInterface<TTranslation> {};

TEST_P(TranslationTable, EventsInMessagesOut) {
  const TTranslation& c = GetParam();
  Start(c.Trigger);
  Form->cbFilterChanAT->setChecked(c.Filter);
  Play(c.In);
  Pump();
  EXPECT_EQ(Sent(Module), c.Out);
  EXPECT_EQ(Form->HeldNote, c.HeldNote);
  EXPECT_EQ(Form->NoteDown, c.NoteDown);
  EXPECT_EQ(Form->LastPressure, c.LastPressure);
  EXPECT_TRUE(Errors.empty());
}

const TTranslation Translations[] = {
    {"ControllerBecomesKeyAftertouch",
     1,
     true,
     {"90 3C 64", "B0 01 32"},
     {"90 3C 64", "A0 3C 32"},
     60,
     true,
     50},
    {"NewNoteReleasesPressureThenNoteOffReleasesIt",
     1,
     true,
     {"90 3C 64", "B0 01 32", "90 40 5A", "80 40 00"},
     {"90 3C 64", "A0 3C 32", "A0 3C 00", "90 40 5A", "A0 40 00", "80 40 00"},
     64,
     false,
     0},
    {"NewNoteKeepsLastPressure",
     1,
     true,
     {"90 3C 64", "B0 01 32", "90 40 5A"},
     {"90 3C 64", "A0 3C 32", "A0 3C 00", "90 40 5A"},
     64,
     true,
     50},
    {"NoteOffOfAnotherNoteOnlyForwarded",
     1,
     true,
     {"90 3C 64", "B0 01 32", "80 3E 00"},
     {"90 3C 64", "A0 3C 32", "80 3E 00"},
     60,
     true,
     50},
    {"NoteOnVelocityZeroReleases",
     1,
     true,
     {"90 3C 64", "B0 01 32", "90 3C 00"},
     {"90 3C 64", "A0 3C 32", "A0 3C 00", "90 3C 00"},
     60,
     false,
     0},
    {"ReleaseOnAnotherChannelSendsPressureZeroThere",
     1,
     true,
     {"90 3C 64", "B0 01 32", "83 3C 00"},
     {"90 3C 64", "A0 3C 32", "A3 3C 00", "83 3C 00"},
     60,
     false,
     0},
    {"TriggerValueZeroNeedsNoRelease",
     1,
     true,
     {"90 3C 64", "B0 01 00", "80 3C 00"},
     {"90 3C 64", "A0 3C 00", "80 3C 00"},
     60,
     false,
     0},
    {"TriggerWithoutHeldNoteForwarded", 1, true, {"B0 01 32"}, {"B0 01 32"}, 0, false, 0},
    {"OtherControllerForwarded",
     1,
     true,
     {"90 3C 64", "B0 07 32"},
     {"90 3C 64", "B0 07 32"},
     60,
     true,
     0},
    {"ChannelAftertouchTriggerOnAnyChannel",
     128,
     false,
     {"95 3C 64", "D3 46"},
     {"95 3C 64", "A3 3C 46"},
     60,
     true,
     70},
    {"ChannelAftertouchTriggerIgnoresControllers",
     128,
     false,
     {"90 3C 64", "B0 01 32"},
     {"90 3C 64", "B0 01 32"},
     60,
     true,
     0},
    {"FilteredChannelAftertouchNeverSent",
     1,
     true,
     {"90 3C 64", "D0 46", "80 3C 00"},
     {"90 3C 64", "80 3C 00"},
     60,
     false,
     0},
    {"UnfilteredChannelAftertouchForwarded",
     1,
     false,
     {"90 3C 64", "D0 46"},
     {"90 3C 64", "D0 46 00"},
     60,
     true,
     0},
    {"OtherKindsForwardedUnchanged",
     1,
     true,
     {"A2 3C 20", "C1 05", "E0 00 40", "F2 10 20", "F1 35", "FF"},
     {"A2 3C 20", "C1 05 00", "E0 00 40", "F2 10 20", "F1 35 00", "FF 00 00"},
     0,
     false,
     0},
    {"SysexNeverForwardedAndWhatFollowsKeepsItsOrder",
     128,
     false,
     {"90 3C 64", "F0 43 10 4C 00 00 7E 00 F7", "D0 11", "B0 07 22", "80 3C 00"},
     {"90 3C 64", "A0 3C 11", "B0 07 22", "A0 3C 00", "80 3C 00"},
     60,
     false,
     0},
};

INSTANTIATE_TEST_SUITE_P(Translator, TranslationTable, ::testing::ValuesIn(Translations),
                         [](const auto& info) { return std::string(info.param.Name); });

// A sysex event ends the pass: what waits behind it stays queued for the notifications that
// follow, which deliver it in order.
TEST_F(TranslatorTest, SysexEndsThePassAndLaterPassesDeliverTheRest) {
  Start(128);
  Play({"90 3C 64", "F0 01 02 03 F7", "D0 22", "80 3C 00"});
  Service.WaitIdle();
  ASSERT_EQ(Form->MidiSynthToPC->GetEventCount(), 4u);

  Form->MidiSynthToPCMidiInput(Form->MidiSynthToPC);
  EXPECT_EQ(Sent(Module), std::vector<std::string>{"90 3C 64"});
  EXPECT_EQ(Form->MidiSynthToPC->GetEventCount(), 2u);

  Pump();
  EXPECT_EQ(Sent(Module),
            (std::vector<std::string>{"90 3C 64", "A0 3C 22", "A0 3C 00", "80 3C 00"}));
}

// A sysex buffer that comes back with nothing recorded is still sysex: no bare 0xF0 leaves.
TEST_F(TranslatorTest, EmptySysexIsNotForwarded) {
  Start(128);
  Play({"90 3C 64"});
  Service.SendSysex(Keys, {});
  Play({"D0 22"});
  Pump();
  EXPECT_EQ(Sent(Module), (std::vector<std::string>{"90 3C 64", "A0 3C 22"}));
  EXPECT_TRUE(Errors.empty());
}

TEST_F(TranslatorTest, FilteredChannelAftertouchEndsThePassToo) {
  Start(1);
  Play({"D0 22", "B0 01 05"});
  Service.WaitIdle();
  Form->MidiSynthToPCMidiInput(Form->MidiSynthToPC);
  EXPECT_TRUE(Sent(Module).empty());
  EXPECT_EQ(Form->MidiSynthToPC->GetEventCount(), 1u);
  Pump();
  EXPECT_EQ(Sent(Module), std::vector<std::string>{"B0 01 05"});
}

TEST_F(TranslatorTest, ClosedOutputSendsNothingButKeepsTheHeldNote) {
  Start(1);
  Form->lbMidiOut->SetItemIndex(Form->lbMidiOut->ItemCount() - 1);
  Form->lbMidiOutClick(Form->lbMidiOut);
  ASSERT_EQ(Form->MidiPCToSynth->State(), mosClosed);

  Play({"90 3C 64", "B0 01 32"});
  Pump();
  EXPECT_TRUE(Sent(Module).empty());
  EXPECT_TRUE(Errors.empty());
  EXPECT_EQ(Form->HeldNote, 60);
  EXPECT_TRUE(Form->NoteDown);
  EXPECT_EQ(Form->LastPressure, 50);
}

// A failed send leaves the handler: the error is shown, and the events behind it are taken by
// the passes that follow.
TEST_F(TranslatorTest, SendErrorIsShownAndLaterEventsStillTaken) {
  Start(128);
  Service.RemoveOutput(Module);
  Play({"90 3C 64", "80 3C 00"});
  Pump();
  const std::string text = Form->MidiPCToSynth->MidiOutErrorString(MIDIERR_NODEVICE, ecPutShort);
  ASSERT_EQ(Errors.size(), 2u);
  for (const auto& error : Errors) {
    EXPECT_EQ(error.Caption, "Velora");
    EXPECT_EQ(error.Text, text);
  }
  EXPECT_EQ(Form->MidiSynthToPC->GetEventCount(), 0u);
  EXPECT_EQ(Form->HeldNote, 60);
  EXPECT_FALSE(Form->NoteDown);
}

struct TTriggerChoice {
  int Index;
  std::uint8_t Status;
  std::uint8_t Controller;
  bool FilterShownAndChecked;
};

class TriggerByIndex : public TranslatorTest,
                       public ::testing::WithParamInterface<TTriggerChoice> {};

TEST_P(TriggerByIndex, SetsTriggerFilterBoxAndSetting) {
  const TTriggerChoice& c = GetParam();
  Start(5);
  Form->cbMidiMsg->SetItemIndex(c.Index);
  Form->cbMidiMsgChange(Form->cbMidiMsg);
  EXPECT_EQ(Form->TriggerStatus, c.Status);
  EXPECT_EQ(Form->TriggerController, c.Controller);
  EXPECT_EQ(Form->cbFilterChanAT->isVisible(), c.FilterShownAndChecked);
  EXPECT_EQ(Form->cbFilterChanAT->isChecked(), c.FilterShownAndChecked);
  EXPECT_EQ(Setting("MIDITrigger", "TypeIdx"), std::to_string(c.Controller));
}

INSTANTIATE_TEST_SUITE_P(Translator, TriggerByIndex,
                         ::testing::Values(TTriggerChoice{0, 0xB0, 0, true},
                                           TTriggerChoice{127, 0xB0, 127, true},
                                           TTriggerChoice{128, 0xD0, 128, false},
                                           TTriggerChoice{-1, 0xB0, 255, true}));

TEST_F(TranslatorTest, NoItemSelectedMatchesNoController) {
  Start(128);
  Form->cbMidiMsg->SetItemIndex(-1);
  Form->cbMidiMsgChange(Form->cbMidiMsg);
  Play({"90 3C 64", "B0 7F 10", "B0 00 10"});
  Pump();
  EXPECT_EQ(Sent(Module), (std::vector<std::string>{"90 3C 64", "B0 7F 10", "B0 00 10"}));
}

// The user's own changes of the combo box: every edit runs the change handler once and leaves
// no item selected; picking an item runs it once; Enter adds no item.
TEST_F(TranslatorTest, TypedTextAndPickedItemsRunTheChangeHandler) {
  Start(128);
  int changes = 0;
  const TNotifyEvent handler = Form->cbMidiMsg->OnChange();
  Form->cbMidiMsg->SetOnChange([&](TObject* sender) {
    ++changes;
    handler(sender);
  });
  Form->cbMidiMsg->setFocus();

  QTest::keyClick(Form->cbMidiMsg, Qt::Key_Up);
  EXPECT_EQ(changes, 1);
  EXPECT_EQ(Form->cbMidiMsg->ItemIndex(), 127);
  EXPECT_EQ(Form->TriggerController, 127);
  EXPECT_TRUE(Form->cbFilterChanAT->isVisible());

  QTest::keyClick(Form->cbMidiMsg, Qt::Key_Down);
  EXPECT_EQ(changes, 2);
  EXPECT_EQ(Form->TriggerStatus, 0xD0);
  EXPECT_FALSE(Form->cbFilterChanAT->isVisible());
  EXPECT_FALSE(Form->cbFilterChanAT->isChecked());

  Form->cbMidiMsg->lineEdit()->selectAll();
  QTest::keyClicks(Form->cbMidiMsg, "Channel Aftertouch");
  EXPECT_EQ(changes, 2 + 18);
  EXPECT_EQ(Form->cbMidiMsg->ItemIndex(), -1);
  EXPECT_EQ(Form->TriggerStatus, 0xB0);
  EXPECT_EQ(Form->TriggerController, 255);
  EXPECT_EQ(Setting("MIDITrigger", "TypeIdx"), "255");

  QTest::keyClick(Form->cbMidiMsg, Qt::Key_Return);
  QTest::keyClick(Form->cbMidiMsg->lineEdit(), Qt::Key_Return);
  EXPECT_EQ(Form->cbMidiMsg->ItemCount(), 129);
  EXPECT_EQ(Form->cbMidiMsg->ItemIndex(), -1);
  EXPECT_EQ(changes, 20);
  EXPECT_TRUE(Errors.empty());
}

}  // namespace
}  // namespace velora
