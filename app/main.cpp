// Program entry: the application object, the main window and the message loop.
#include <QApplication>

#include "app/Main.h"
#include "platform/MidiService.h"
#include "platform/SysUtils.h"
#include "platform/qt/Forms.h"
#ifdef VELORA_HAVE_RTMIDI
#include "platform/rtmidi/RtMidiService.h"
#endif

int main(int argc, char** argv) {
  using namespace velora;
  QApplication qt(argc, argv);
#ifdef VELORA_HAVE_RTMIDI
  auto service = CreateRtMidiService();
  const TMidiServiceScope serviceScope(*service);
#endif
  // Declared after the service: the forms it owns close their devices before the service goes.
  TApplication application;
  application.InstallTerminationSignals();
  try {
    application.Initialize();
    application.SetTitle("Velora");
    application.CreateForm(fMain);
    application.Run();
  } catch (const Exception& error) {
    application.ShowException(error);
  }
  return 0;
}
