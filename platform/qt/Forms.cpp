#include "platform/qt/Forms.h"

#include <fcntl.h>
#include <unistd.h>

#include <QApplication>
#include <QCloseEvent>
#include <QMessageBox>
#include <QSocketNotifier>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>

#include "platform/MessageWindow.h"
#include "platform/SysUtils.h"

namespace velora {

TApplication* Application = nullptr;

namespace {

// The signal handler's only way out: one byte into this pipe, read by the Qt loop.
int SignalPipe[2] = {-1, -1};

extern "C" void OnTerminationSignal(int) {
  const int saved = errno;
  const char byte = 1;
  [[maybe_unused]] ssize_t n = write(SignalPipe[1], &byte, 1);
  errno = saved;
}

bool MakeSignalPipe() {
  if (SignalPipe[0] >= 0) return true;
  if (pipe(SignalPipe) != 0) return false;
  for (int fd : SignalPipe) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    fcntl(fd, F_SETFD, FD_CLOEXEC);
  }
  return true;
}

// The texts of the standard error boxes open now, the innermost last (main thread only).
std::vector<std::string> OpenErrorBoxes;

std::string UnknownErrorText() {
  return "An unknown error occurred";
}

// Ends the loop when the main form is closed, however the close came about.
class TCloseWatcher : public QObject {
 public:
  explicit TCloseWatcher(TApplication& app) : FApp(app) {}

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Close && watched == FApp.MainForm()) FApp.Terminate();
    return false;
  }

 private:
  TApplication& FApp;
};

}  // namespace

TApplication::TApplication() : FPrevious(Application) {
  FMessageNotifier = std::make_unique<QSocketNotifier>(MessageWakeHandle(), QSocketNotifier::Read);
  QObject::connect(FMessageNotifier.get(), &QSocketNotifier::activated,
                   [this] { DeliverMessages(); });
  FCloseWatcher = std::make_unique<TCloseWatcher>(*this);
  Application = this;
}

TApplication::~TApplication() {
  while (!FForms.empty()) {
    if (FForms.back().get() == FMainForm) FMainForm = nullptr;
    FForms.pop_back();
  }
  if (FMainForm) FMainForm->removeEventFilter(FCloseWatcher.get());
  if (FSignalsInstalled) {
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
  }
  Application = FPrevious;
}

void TApplication::SetMainForm(QWidget* form) {
  if (FMainForm) FMainForm->removeEventFilter(FCloseWatcher.get());
  FMainForm = form;
  if (FMainForm) FMainForm->installEventFilter(FCloseWatcher.get());
}

void TApplication::Run() {
  if (TerminateRequested()) return;
  if (FMainForm) FMainForm->show();
  // Messages may have waited while the form was being made.
  DeliverMessages();
  if (TerminateRequested()) return;
  QApplication::exec();
}

void TApplication::Terminate() {
  RequestTerminate();
  QCoreApplication::quit();
}

bool TApplication::Terminated() const {
  return TerminateRequested();
}

void TApplication::InstallTerminationSignals() {
  if (FSignalNotifier || !MakeSignalPipe()) return;
  struct sigaction action {};
  action.sa_handler = OnTerminationSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  FSignalsInstalled = true;
  FSignalNotifier = std::make_unique<QSocketNotifier>(SignalPipe[0], QSocketNotifier::Read);
  QObject::connect(FSignalNotifier.get(), &QSocketNotifier::activated, [this] { SignalArrived(); });
}

void TApplication::SignalArrived() {
  char drain[16];
  while (read(SignalPipe[0], drain, sizeof drain) > 0) {
  }
  if (FMainForm) FMainForm->close();
  Terminate();
  // Also ends a modal dialog open before the loop runs (quit only ends a running loop); the
  // session is ending, so no later dialog waits for an answer either.
  QCoreApplication::exit(0);
}

void TApplication::DeliverMessages() {
  // A handler that throws ends ProcessMessages early; the messages behind it still wait.
  for (;;) {
    try {
      ProcessMessages();
      break;
    } catch (const std::exception& error) {
      ShowException(error);
    } catch (...) {
      ShowException(Exception(UnknownErrorText()));
    }
  }
  if (TerminateRequested()) QCoreApplication::quit();
}

void TApplication::Guard(const std::function<void()>& handler) noexcept {
  try {
    handler();
  } catch (const std::exception& error) {
    ShowException(error);
  } catch (...) {
    ShowException(Exception(UnknownErrorText()));
  }
}

void TApplication::ShowException(const std::exception& error) {
  try {
    if (FErrorDisplay) {
      FErrorDisplay(FTitle, error.what());
      return;
    }
    // The box runs a nested loop, and an error that repeats meanwhile (a lost device while
    // messages keep coming) would stack a box per message on top: it is showing already.
    const std::string text = error.what();
    if (std::find(OpenErrorBoxes.begin(), OpenErrorBoxes.end(), text) != OpenErrorBoxes.end())
      return;
    QWidget* parent = FMainForm && FMainForm->isVisible() ? FMainForm.data() : nullptr;
    QMessageBox box(QMessageBox::Critical, QString::fromStdString(FTitle),
                    QString::fromStdString(text), QMessageBox::Ok, parent);
    OpenErrorBoxes.push_back(text);
    struct TClosed {
      ~TClosed() { OpenErrorBoxes.pop_back(); }
    } closed;
    box.exec();
  } catch (...) {
    std::fprintf(stderr, "%s\n", error.what());
  }
}

void GuardedCall(const std::function<void()>& handler) noexcept {
  if (Application) {
    Application->Guard(handler);
    return;
  }
  try {
    handler();
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s\n", error.what());
  } catch (...) {
    std::fprintf(stderr, "%s\n", UnknownErrorText().c_str());
  }
}

TNotifyEvent Guarded(TNotifyEvent handler) {
  return [handler = std::move(handler)](TObject* sender) { GuardedCall([&] { handler(sender); }); };
}

}  // namespace velora
