// The main window: the two device lists, the trigger list with its Channel Aftertouch filter,
// the translator that rewrites the trigger as key aftertouch for the held note, and the
// settings file that remembers the devices and the trigger.
#pragma once

#include <QCheckBox>
#include <QFrame>
#include <QLabel>
#include <QWidget>
#include <cstdint>
#include <memory>
#include <string>

#include "midi/MidiIn.h"
#include "midi/MidiOut.h"
#include "platform/Component.h"
#include "platform/IniFile.h"
#include "platform/qt/StdCtrls.h"

namespace velora {

// The donation page that sbDonate opens.
inline constexpr const char* DonateUrl = "https://velora-midi.org/donate";

// The settings file of the executable at `executablePath`: its file name's extension replaced
// by ".INI", or ".INI" appended when the name has none.
std::string SettingsFilePath(const std::string& executablePath);

// The text of trigger item `index` (0..128) of cbMidiMsg.
std::string TriggerItemText(int index);

class TfMain : public QWidget, public TComponent {
 public:
  // `settingsFileName` empty: the settings file beside the running executable.
  explicit TfMain(std::string settingsFileName = {});
  ~TfMain() override;  // runs FormDestroy

  // Published parts, in declaration order.
  TMidiInput* MidiSynthToPC = nullptr;
  TMidiOutput* MidiPCToSynth = nullptr;
  QFrame* Panel2 = nullptr;
  QLabel* Label1 = nullptr;
  QLabel* Label2 = nullptr;
  TListBox* lbMidiIn = nullptr;
  TListBox* lbMidiOut = nullptr;
  TSpeedButton* sbDonate = nullptr;
  TComboBox* cbMidiMsg = nullptr;
  QCheckBox* cbFilterChanAT = nullptr;
  QLabel* Label3 = nullptr;

  // Event handlers.
  void FormCreate(TObject* Sender);
  void FormDestroy(TObject* Sender);
  void lbMidiInClick(TObject* Sender);
  void lbMidiOutClick(TObject* Sender);
  void sbDonateClick(TObject* Sender);
  void MidiSynthToPCMidiInput(TObject* Sender);
  void cbMidiMsgChange(TObject* Sender);

  // Translator state.
  std::uint8_t TriggerStatus = 0;      // 0xD0 Channel Aftertouch, 0xB0 Control Change
  std::uint8_t TriggerController = 0;  // 0..127, 128 Channel Aftertouch, 255 no item
  std::uint8_t HeldNote = 0;
  bool NoteDown = false;
  std::uint8_t LastPressure = 0;
  // The event being translated.
  std::uint8_t EventStatus = 0;
  std::uint8_t EventChannel = 0;
  std::uint8_t EventData1 = 0;
  std::uint8_t EventData2 = 0;

  // Device choices: list index (= device number), -1 for "None" or nothing chosen.
  std::int32_t InputIndex = -1;
  std::int32_t OutputIndex = -1;
  std::unique_ptr<TIniFile> SettingsFile;

 private:
  void SendShortMessage(std::uint8_t status, std::uint8_t channel, std::uint8_t data1,
                        std::uint8_t data2);
  void BuildControls();
  void BuildComponents();
  // The settings file, opened on first use should FormCreate have ended before opening it.
  TIniFile& Settings();

  std::string FSettingsFileName;
};

extern TfMain* fMain;

}  // namespace velora
