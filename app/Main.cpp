#include "app/Main.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QGuiApplication>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QScreen>
#include <QUrl>
#include <map>

#include "platform/qt/Dialogs.h"
#include "platform/qt/Forms.h"

namespace velora {

TfMain* fMain = nullptr;

namespace {

constexpr std::uint8_t NoteOff = 0x80;
constexpr std::uint8_t NoteOn = 0x90;
constexpr std::uint8_t KeyAftertouch = 0xA0;
constexpr std::uint8_t ControlChange = 0xB0;
constexpr std::uint8_t ChannelAftertouch = 0xD0;

constexpr int ChannelAftertouchItem = 128;
constexpr const char* NoneItem = "None";
constexpr const char* DevicesSection = "MidiDevices";
constexpr const char* TriggerSection = "MIDITrigger";

// How the input component is set up when the window is made.
constexpr const char* MidiSynthToPCDescription =
    "Name = MidiSynthToPC\n"
    "SysexBufferSize = 4096\n"
    "FilteredMessages = [msgActiveSensing,msgMidiTimeCode]\n"
    "OnMidiInput = MidiSynthToPCMidiInput\n";

const QColor Navy(0x00, 0x00, 0x80);
const QColor Yellow(0xFF, 0xFF, 0x00);

// MS Sans Serif where it exists, else a sans-serif face of the same pixel size.
QFont SansSerif(int pixelSize) {
  QFont font;
  font.setFamilies({"MS Sans Serif", "Microsoft Sans Serif", "Arial", "Liberation Sans",
                    "Nimbus Sans", "Helvetica", "DejaVu Sans"});
  font.setStyleHint(QFont::SansSerif);
  font.setPixelSize(pixelSize);
  return font;
}

// `role` is the text role the widget draws its caption or items with.
void SetTextColor(QWidget* widget, QPalette::ColorRole role, const QColor& color) {
  QPalette palette = widget->palette();
  palette.setColor(role, color);
  widget->setPalette(palette);
}

QLabel* MakeLabel(QWidget* parent, const char* text, QRect geometry) {
  auto* label = new QLabel(QString::fromLatin1(text), parent);
  label->setGeometry(geometry);
  label->setFont(SansSerif(13));
  SetTextColor(label, QPalette::WindowText, Yellow);
  return label;
}

TListBox* MakeDeviceList(QWidget* parent, QRect geometry) {
  auto* list = new TListBox(parent);
  list->setGeometry(geometry);
  list->setFont(SansSerif(11));
  SetTextColor(list, QPalette::Text, Navy);
  list->SetItemHeight(13);
  return list;
}

// A rounded orange button bearing the word Donate.
QPixmap DonatePicture() {
  QPixmap picture(93, 27);
  picture.fill(Qt::transparent);
  QPainter painter(&picture);
  painter.setRenderHint(QPainter::Antialiasing);
  const QRectF body(0.5, 0.5, 92, 26);
  QLinearGradient fill(body.topLeft(), body.bottomLeft());
  fill.setColorAt(0.0, QColor(0xFF, 0xD2, 0x6E));
  fill.setColorAt(0.5, QColor(0xFF, 0xA8, 0x1C));
  fill.setColorAt(1.0, QColor(0xF0, 0x8A, 0x00));
  painter.setPen(QPen(QColor(0xB8, 0x62, 0x00), 1));
  painter.setBrush(fill);
  painter.drawRoundedRect(body, 12, 12);
  QFont font = SansSerif(15);
  font.setBold(true);
  font.setItalic(true);
  painter.setFont(font);
  painter.setPen(QColor(0x1A, 0x2A, 0x6C));
  painter.drawText(picture.rect(), Qt::AlignCenter, QStringLiteral("Donate"));
  return picture;
}

// Navy tile with three piano keys and a yellow pressure arrow.
QIcon WindowIcon() {
  QIcon icon;
  for (int size : {16, 32, 48}) {
    QPixmap picture(size, size);
    picture.fill(Qt::transparent);
    QPainter painter(&picture);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(size / 32.0, size / 32.0);
    painter.setPen(Qt::NoPen);
    painter.setBrush(Navy);
    painter.drawRoundedRect(QRectF(0, 0, 32, 32), 6, 6);
    painter.setBrush(Qt::white);
    for (int key = 0; key < 3; ++key) painter.drawRect(QRectF(5 + key * 8, 14, 7, 14));
    painter.setBrush(Qt::black);
    painter.drawRect(QRectF(10.5, 14, 4, 8));
    painter.drawRect(QRectF(18.5, 14, 4, 8));
    painter.setBrush(Yellow);
    QPainterPath arrow;
    arrow.moveTo(16, 12);
    arrow.lineTo(9, 4);
    arrow.lineTo(13.5, 4);
    arrow.lineTo(13.5, 1.5);
    arrow.lineTo(18.5, 1.5);
    arrow.lineTo(18.5, 4);
    arrow.lineTo(23, 4);
    arrow.closeSubpath();
    painter.drawPath(arrow);
    painter.end();
    icon.addPixmap(picture);
  }
  return icon;
}

}  // namespace

std::string SettingsFilePath(const std::string& executablePath) {
  const auto slash = executablePath.find_last_of('/');
  const auto nameStart = slash == std::string::npos ? 0 : slash + 1;
  const auto dot = executablePath.find_last_of('.');
  if (dot == std::string::npos || dot < nameStart) return executablePath + ".INI";
  return executablePath.substr(0, dot) + ".INI";
}

std::string TriggerItemText(int index) {
  if (index == ChannelAftertouchItem) return "Channel Aftertouch";
  const int last = index % 10;
  return "Continious Controller " + std::to_string(index) +
         (last == 0 || last == 2 || last == 3 ? " " : "");
}

TfMain::TfMain(std::string settingsFileName)
    : QWidget(nullptr), TComponent(nullptr), FSettingsFileName(std::move(settingsFileName)) {
  if (FSettingsFileName.empty())
    FSettingsFileName = SettingsFilePath(QCoreApplication::applicationFilePath().toStdString());
  SetName("fMain");
  BuildComponents();
  BuildControls();
  GuardedCall([this] { FormCreate(this); });
}

TfMain::~TfMain() {
  GuardedCall([this] { FormDestroy(this); });
  if (fMain == this) fMain = nullptr;
}

void TfMain::BuildComponents() {
  const std::map<std::string, TNotifyEvent> handlers = {
      {"FormCreate", [this](TObject* sender) { FormCreate(sender); }},
      {"FormDestroy", [this](TObject* sender) { FormDestroy(sender); }},
      {"lbMidiInClick", [this](TObject* sender) { lbMidiInClick(sender); }},
      {"lbMidiOutClick", [this](TObject* sender) { lbMidiOutClick(sender); }},
      {"sbDonateClick", [this](TObject* sender) { sbDonateClick(sender); }},
      {"MidiSynthToPCMidiInput", [this](TObject* sender) { MidiSynthToPCMidiInput(sender); }},
      {"cbMidiMsgChange", [this](TObject* sender) { cbMidiMsgChange(sender); }},
  };
  const THandlerResolver resolver = [&handlers](const std::string& name) -> TNotifyEvent {
    const auto found = handlers.find(name);
    return found == handlers.end() ? TNotifyEvent() : Guarded(found->second);
  };
  MidiSynthToPC = new TMidiInput(this);
  MidiSynthToPC->LoadFromText(MidiSynthToPCDescription, resolver);
  MidiPCToSynth = new TMidiOutput(this);
  MidiPCToSynth->SetName("MidiPCToSynth");
}

void TfMain::BuildControls() {
  setWindowTitle(QStringLiteral(" Velora"));
  setWindowIcon(WindowIcon());
  setFixedSize(197, 413);
  setFont(SansSerif(11));
  QPalette face = palette();
  face.setColor(QPalette::Window, face.color(QPalette::Button));
  setPalette(face);
  if (QScreen* screen = QGuiApplication::primaryScreen())
    move(screen->geometry().center() - rect().center());

  Panel2 = new QFrame(this);
  Panel2->setGeometry(0, 0, 197, 413);
  Panel2->setFrameStyle(QFrame::Panel | QFrame::Raised);
  Panel2->setLineWidth(1);
  QPalette navy = Panel2->palette();
  navy.setColor(QPalette::Window, Navy);
  Panel2->setPalette(navy);
  Panel2->setAutoFillBackground(true);

  Label1 = MakeLabel(Panel2, "From <- Synth", QRect(7, 8, 81, 16));
  lbMidiIn = MakeDeviceList(Panel2, QRect(7, 24, 179, 113));
  Label2 = MakeLabel(Panel2, "To -> Synth ", QRect(7, 142, 70, 16));
  lbMidiOut = MakeDeviceList(Panel2, QRect(7, 158, 179, 113));
  Label3 = MakeLabel(Panel2, "Change this to Key AT", QRect(11, 282, 131, 16));

  cbMidiMsg = new TComboBox(Panel2);
  cbMidiMsg->setGeometry(8, 305, 181, 21);
  cbMidiMsg->setFont(font());
  cbMidiMsg->setMaxVisibleItems(8);
  for (int i = 0; i <= ChannelAftertouchItem; ++i) cbMidiMsg->AddItem(TriggerItemText(i));
  cbMidiMsg->SetItemHeight(13);
  cbMidiMsg->SetItemIndex(ChannelAftertouchItem);

  cbFilterChanAT = new QCheckBox(QStringLiteral("Filter Channel AT"), Panel2);
  cbFilterChanAT->setGeometry(12, 333, 177, 17);
  cbFilterChanAT->setFont(SansSerif(13));
  SetTextColor(cbFilterChanAT, QPalette::WindowText, Yellow);
  cbFilterChanAT->setChecked(false);
  cbFilterChanAT->hide();

  sbDonate = new TSpeedButton(Panel2);
  sbDonate->setGeometry(44, 367, 98, 33);
  sbDonate->SetGlyph(DonatePicture());
  sbDonate->SetHint(
      "If you would like to help pay for the development of this program, that would be great");

  setTabOrder(lbMidiIn, lbMidiOut);
  setTabOrder(lbMidiOut, cbMidiMsg);
  setTabOrder(cbMidiMsg, cbFilterChanAT);

  lbMidiIn->SetOnClick([this](TObject* sender) { lbMidiInClick(sender); });
  lbMidiOut->SetOnClick([this](TObject* sender) { lbMidiOutClick(sender); });
  cbMidiMsg->SetOnChange([this](TObject* sender) { cbMidiMsgChange(sender); });
  sbDonate->SetOnClick([this](TObject* sender) { sbDonateClick(sender); });
  lbMidiIn->setFocus();
}

TIniFile& TfMain::Settings() {
  if (!SettingsFile) SettingsFile = std::make_unique<TIniFile>(FSettingsFileName);
  return *SettingsFile;
}

// --- Start-up

void TfMain::FormCreate(TObject*) {
  InputIndex = -1;
  OutputIndex = -1;
  NoteDown = false;
  LastPressure = 0;

  lbMidiIn->ClearItems();
  if (MidiSynthToPC->DeviceCount() == 0) {
    MessageDlg("You need a Midi interface for this program to work.", mtError, {mbOK}, 0);
    // The program ends as soon as its message loop would start.
    if (Application)
      Application->Terminate();
    else
      RequestTerminate();
  }
  for (std::uint32_t i = 0; i < MidiSynthToPC->DeviceCount(); ++i) {
    MidiSynthToPC->SetDeviceID(i);
    lbMidiIn->AddItem(MidiSynthToPC->ProductName());
  }
  lbMidiOut->ClearItems();
  for (std::uint32_t i = 0; i < MidiPCToSynth->DeviceCount(); ++i) {
    MidiPCToSynth->SetDeviceID(i);
    lbMidiOut->AddItem(MidiPCToSynth->ProductName());
  }
  lbMidiIn->AddItem(NoneItem);
  lbMidiOut->AddItem(NoneItem);

  SettingsFile = std::make_unique<TIniFile>(FSettingsFileName);

  // A remembered device that is gone falls back to our own "None", the last item.
  InputIndex = lbMidiIn->IndexOfItem(SettingsFile->ReadString(DevicesSection, "Input", NoneItem));
  if (InputIndex < 0) InputIndex = lbMidiIn->ItemCount() - 1;
  lbMidiIn->SetItemIndex(InputIndex);
  lbMidiInClick(this);

  OutputIndex =
      lbMidiOut->IndexOfItem(SettingsFile->ReadString(DevicesSection, "Output", NoneItem));
  if (OutputIndex < 0) OutputIndex = lbMidiOut->ItemCount() - 1;
  lbMidiOut->SetItemIndex(OutputIndex);
  lbMidiOutClick(this);

  cbMidiMsg->SetItemIndex(
      SettingsFile->ReadInteger(TriggerSection, "TypeIdx", ChannelAftertouchItem));
  cbMidiMsgChange(this);
}

void TfMain::sbDonateClick(TObject*) {
  QDesktopServices::openUrl(QUrl(QString(DonateUrl)));
}

// --- Device selection and settings

void TfMain::lbMidiInClick(TObject*) {
  const std::string text = lbMidiIn->ItemText(lbMidiIn->ItemIndex());
  if (text == NoneItem) {
    InputIndex = -1;
    if (MidiSynthToPC->State() != misClosed) MidiSynthToPC->StopAndClose();
    Settings().WriteString(DevicesSection, "Input", NoneItem);
    return;
  }
  if (MidiSynthToPC->State() != misClosed) MidiSynthToPC->StopAndClose();
  InputIndex = lbMidiIn->ItemIndex();
  MidiSynthToPC->SetDeviceID(static_cast<std::uint32_t>(InputIndex));
  MidiSynthToPC->Open();
  MidiSynthToPC->Start();
  Settings().WriteString(DevicesSection, "Input", lbMidiIn->ItemText(InputIndex));
}

void TfMain::lbMidiOutClick(TObject*) {
  const std::string text = lbMidiOut->ItemText(lbMidiOut->ItemIndex());
  if (text == NoneItem) {
    OutputIndex = -1;
    if (MidiPCToSynth->State() != mosClosed) MidiPCToSynth->Close();
    Settings().WriteString(DevicesSection, "Output", NoneItem);
    return;
  }
  if (MidiPCToSynth->State() != mosClosed) MidiPCToSynth->Close();
  OutputIndex = lbMidiOut->ItemIndex();
  MidiPCToSynth->SetDeviceID(static_cast<std::uint32_t>(OutputIndex));
  const bool opened = MidiPCToSynth->Open();
  Settings().WriteString(DevicesSection, "Output", lbMidiOut->ItemText(OutputIndex));
  if (!opened) {
    // Shown without raising: start-up goes on to restore the trigger.
    const Exception error(MidiPCToSynth->MidiOutErrorString(MidiPCToSynth->Error(), ecGeneric));
    if (Application) Application->ShowException(error);
  }
}

void TfMain::FormDestroy(TObject*) {
  std::exception_ptr closeError;
  try {
    if (MidiPCToSynth->State() != mosClosed) MidiPCToSynth->Close();
    if (MidiSynthToPC->State() != misClosed) MidiSynthToPC->StopAndClose();
  } catch (...) {
    closeError = std::current_exception();
  }
  if (InputIndex != -1)
    Settings().WriteString(DevicesSection, "Input", lbMidiIn->ItemText(InputIndex));
  if (OutputIndex != -1)
    Settings().WriteString(DevicesSection, "Output", lbMidiOut->ItemText(OutputIndex));
  if (closeError) std::rethrow_exception(closeError);
}

// --- Translator

void TfMain::MidiSynthToPCMidiInput(TObject*) {
  while (MidiSynthToPC->GetEventCount() != 0) {
    std::unique_ptr<TMyMidiEvent> event(MidiSynthToPC->GetMidiEvent());
    if (!event) return;
    // Sysex is never forwarded; what waits behind it goes with the next notifications. A
    // sysex buffer that came back empty is sysex all the same: a bare 0xF0 must not leave.
    if (event->SysexSize != 0 || event->StatusByte == 0xF0) return;
    EventStatus = event->StatusByte & 0xF0;
    EventChannel = event->StatusByte & 0x0F;
    EventData1 = event->DataByte1;
    EventData2 = event->DataByte2;
    event.reset();

    const bool release = EventStatus == NoteOff || (EventStatus == NoteOn && EventData2 == 0);
    if (release) {
      if (HeldNote == EventData1) {
        if (LastPressure != 0) SendShortMessage(KeyAftertouch, EventChannel, HeldNote, 0);
        LastPressure = 0;
        NoteDown = false;
      }
    } else if (EventStatus == NoteOn) {
      if (LastPressure != 0) SendShortMessage(KeyAftertouch, EventChannel, HeldNote, 0);
      HeldNote = EventData1;
      NoteDown = true;
    } else if (EventStatus == ControlChange) {
      if (NoteDown && TriggerStatus == ControlChange && TriggerController == EventData1) {
        LastPressure = EventData2;
        EventData1 = HeldNote;
        EventStatus = KeyAftertouch;
      }
    } else if (EventStatus == ChannelAftertouch) {
      if (cbFilterChanAT->isChecked()) return;
      if (NoteDown && TriggerStatus == ChannelAftertouch) {
        EventData2 = EventData1;
        LastPressure = EventData1;
        EventData1 = HeldNote;
        EventStatus = KeyAftertouch;
      }
    }
    SendShortMessage(EventStatus, EventChannel, EventData1, EventData2);
  }
}

void TfMain::SendShortMessage(std::uint8_t status, std::uint8_t channel, std::uint8_t data1,
                              std::uint8_t data2) {
  const auto statusByte = static_cast<std::uint8_t>(status + channel);
  if (MidiPCToSynth->State() == mosClosed) return;
  MidiPCToSynth->PutShort(statusByte, data1, data2);
}

void TfMain::cbMidiMsgChange(TObject*) {
  if (cbMidiMsg->ItemIndex() == ChannelAftertouchItem) {
    TriggerStatus = ChannelAftertouch;
    cbFilterChanAT->setChecked(false);
    cbFilterChanAT->hide();
  } else {
    TriggerStatus = ControlChange;
    cbFilterChanAT->setChecked(true);
    cbFilterChanAT->show();
  }
  TriggerController = static_cast<std::uint8_t>(cbMidiMsg->ItemIndex());
  Settings().WriteInteger(TriggerSection, "TypeIdx", TriggerController);
}

}  // namespace velora
