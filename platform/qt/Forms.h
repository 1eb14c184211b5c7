// The application object on Qt: title, main form, message loop, terminate request and the
// standard error display. Window messages of the platform (platform/MessageWindow.h) are
// delivered by the Qt loop whenever its wake handle becomes readable.
//
// Exceptions never cross a Qt frame: every event handler runs through Guard, which shows what
// it catches in the standard error display and lets the program go on.
#pragma once

#include <QObject>
#include <QPointer>
#include <QWidget>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/Component.h"

class QSocketNotifier;

namespace velora {

class TApplication {
 public:
  // Needs a QApplication. The newest TApplication is the one `Application` points to.
  TApplication();
  ~TApplication();  // destroys the forms made by CreateForm, the newest first
  TApplication(const TApplication&) = delete;
  TApplication& operator=(const TApplication&) = delete;

  void Initialize() {}
  const std::string& Title() const { return FTitle; }
  void SetTitle(const std::string& value) { FTitle = value; }

  // Makes a form owned by the application; the first one becomes the main form.
  template <typename T>
  void CreateForm(T*& reference) {
    reference = new T();
    FForms.emplace_back(reference);
    if (!FMainForm) SetMainForm(reference);
  }
  QWidget* MainForm() const { return FMainForm.data(); }
  // Closing the main form ends the message loop.
  void SetMainForm(QWidget* form);

  // Shows the main form and runs the message loop until Terminate. Ends at once when
  // termination was requested before.
  void Run();
  // Asks the loop to end (also before it runs). Any thread's RequestTerminate does the same.
  void Terminate();
  bool Terminated() const;

  // SIGINT and SIGTERM close the main form, so the program ends as when the user closes it.
  // The default reactions come back when the application object goes.
  void InstallTerminationSignals();

  // Runs `handler`; whatever it throws goes to the standard error display.
  void Guard(const std::function<void()>& handler) noexcept;
  // The standard error display: a message box with the error icon, captioned with Title. An
  // error whose box is open already is not shown again on top of it.
  void ShowException(const std::exception& error);

  // Replaces the standard error display (tests record instead); empty restores it.
  using TErrorDisplay = std::function<void(const std::string& caption, const std::string& text)>;
  void SetErrorDisplay(TErrorDisplay display) { FErrorDisplay = std::move(display); }

 private:
  void DeliverMessages();
  void SignalArrived();

  std::string FTitle;
  QPointer<QWidget> FMainForm;  // cleared should the form be destroyed elsewhere
  std::vector<std::unique_ptr<QWidget>> FForms;
  TErrorDisplay FErrorDisplay;
  std::unique_ptr<QSocketNotifier> FMessageNotifier;
  std::unique_ptr<QSocketNotifier> FSignalNotifier;
  std::unique_ptr<QObject> FCloseWatcher;
  TApplication* FPrevious = nullptr;
  bool FSignalsInstalled = false;
};

// The current application object, or nullptr.
extern TApplication* Application;

// Runs `handler` through the current application's guard (without one, errors go to stderr).
void GuardedCall(const std::function<void()>& handler) noexcept;
// An event slot that runs `handler` through the guard.
TNotifyEvent Guarded(TNotifyEvent handler);

}  // namespace velora
