// Shared set-up of the program-level fault suites: the real window on Qt's offscreen platform
// over the real MIDI service, an error display that records, a settings file in a fresh folder,
// and JACK keyboards and synthesizers in processes of their own.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QCoreApplication>
#include <QEventLoop>
#include <QTest>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "app/Main.h"
#include "platform/MessageWindow.h"
#include "platform/qt/Forms.h"
#include "platform/rtmidi/RtMidiService.h"
#include "tests/rtmidi/JackClients.h"

extern char** environ;

namespace velora::e2e {

using testing::UniqueClientName;

inline void EnsureQApplication() {
  if (QCoreApplication::instance()) return;
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  static int argc = 1;
  static char name[] = "velora-e2e";
  static char* argv[] = {name, nullptr};
  new QApplication(argc, argv);
}

// Runs the program's loop once: Qt's events and the window messages the devices posted.
inline void PumpOnce() {
  QCoreApplication::processEvents(QEventLoop::AllEvents);
  WaitMessage(5);
  QCoreApplication::processEvents(QEventLoop::AllEvents);
}

// Runs the program's loop until `done` holds (20 s at most); returns `done()`.
inline bool PumpUntil(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!done() && std::chrono::steady_clock::now() < deadline) PumpOnce();
  return done();
}

// Runs the program's loop for `count` rounds, whatever happens meanwhile.
inline void PumpRounds(int count) {
  for (int i = 0; i < count; ++i) PumpOnce();
}

// Makes this process's suites start and use a JACK server of their own. Killing clients and
// servers can leave one slow to go, so each run takes a fresh name; the server is stopped at
// the end by the suites' environment (set up after this one, so torn down before it), and its
// log is removed here.
class TPrivateJackServer : public ::testing::Environment {
 public:
  explicit TPrivateJackServer(const std::string& stem)
      : FName(stem + "-" + std::to_string(getpid())) {
    setenv("JACK_DEFAULT_SERVER", FName.c_str(), 1);
  }
  void TearDown() override {
    const char* dir = std::getenv("TMPDIR");
    std::filesystem::remove(std::string(dir && *dir ? dir : "/tmp") + "/velora-jackd-" + FName +
                            ".log");
    // The semaphores of killed clients and servers stay behind; the name is ours alone.
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/dev/shm", error)) {
      const std::string file = entry.path().filename().string();
      if (file.rfind("jack_sem.", 0) == 0 && file.find("_" + FName + "_") != std::string::npos)
        std::filesystem::remove(entry.path(), error);
    }
  }

 private:
  std::string FName;
};

// Whether the JACK server lists port `name` now.
inline bool JackPortExists(const std::string& name) {
  jack_status_t status{};
  jack_client_t* probe = jack_client_open("velora-e2e-probe", JackNoStartServer, &status);
  if (!probe) return false;
  const bool exists = jack_port_by_name(probe, name.c_str()) != nullptr;
  jack_client_close(probe);
  return exists;
}

// A keyboard ("<client>:out") or synthesizer ("<client>:in") in a child process.
class TClientProcess {
 public:
  TClientProcess(const std::string& role, const std::string& client)
      : FName(client + (role == "keyboard" ? ":out" : ":in")) {
    int toChild[2], fromChild[2];
    if (pipe2(toChild, O_CLOEXEC) != 0 || pipe2(fromChild, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, toChild[0], 0);
    posix_spawn_file_actions_adddup2(&actions, fromChild[1], 1);
    const std::string program = VELORA_E2E_CLIENT;
    char* argv[] = {const_cast<char*>(program.c_str()), const_cast<char*>(role.c_str()),
                    const_cast<char*>(client.c_str()), nullptr};
    if (posix_spawn(&FPid, program.c_str(), &actions, nullptr, argv, environ) != 0) FPid = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(toChild[0]);
    close(fromChild[1]);
    FIn = toChild[1];
    FOut = fromChild[0];
    // A killed child must not end this process through a write into its pipe.
    signal(SIGPIPE, SIG_IGN);
    Ready = WaitForLines(1) && FLines[0] == "ready";
    if (Ready) FLines.erase(FLines.begin());
  }
  ~TClientProcess() {
    if (FIn >= 0) close(FIn);  // the client ends with its input
    // One that does not end (stuck in libjack) is killed rather than holding up the suite.
    if (FPid > 0 && !PumpUntil([&] { return waitpid(FPid, nullptr, WNOHANG) == FPid; })) Kill();
    if (FOut >= 0) close(FOut);
  }
  TClientProcess(const TClientProcess&) = delete;
  TClientProcess& operator=(const TClientProcess&) = delete;

  const std::string& Name() const { return FName; }
  bool Ready = false;

  void Send(const std::string& hexBytes) {
    const std::string line = hexBytes + "\n";
    [[maybe_unused]] ssize_t n = write(FIn, line.data(), line.size());
  }
  // As a crash or an unplugged device: no goodbye to the JACK server.
  void Kill() {
    if (FPid <= 0) return;
    kill(FPid, SIGKILL);
    waitpid(FPid, nullptr, 0);
    FPid = -1;
  }

  // Pumps the program's loop until `count` lines (messages received, "SS D1 D2") arrived;
  // returns all that arrived so far.
  std::vector<std::string> WaitFor(std::size_t count) {
    WaitForLines(count);
    return FLines;
  }
  std::vector<std::string> Received() {
    ReadAvailable(0);
    return FLines;
  }

 private:
  bool WaitForLines(std::size_t count) {
    return PumpUntil([&] {
      ReadAvailable(5);
      return FLines.size() >= count;
    });
  }
  void ReadAvailable(int waitMs) {
    pollfd p{FOut, POLLIN, 0};
    while (FOut >= 0 && poll(&p, 1, waitMs) > 0) {
      char buffer[256];
      const ssize_t n = read(FOut, buffer, sizeof buffer);
      if (n <= 0) break;
      FPartial.append(buffer, static_cast<std::size_t>(n));
      for (auto end = FPartial.find('\n'); end != std::string::npos; end = FPartial.find('\n')) {
        FLines.push_back(FPartial.substr(0, end));
        FPartial.erase(0, end + 1);
      }
      waitMs = 0;
    }
  }

  std::string FName;
  pid_t FPid = -1;
  int FIn = -1;
  int FOut = -1;
  std::string FPartial;
  std::vector<std::string> FLines;
};

inline std::unique_ptr<TClientProcess> StartClient(const std::string& role,
                                                   const std::string& stem) {
  auto client = std::make_unique<TClientProcess>(role, UniqueClientName(stem));
  EXPECT_TRUE(client->Ready) << "the " << role << " client did not start";
  return client;
}

struct TShownError {
  std::string Caption;
  std::string Text;
};

class TProgramTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { EnsureQApplication(); }

  void SetUp() override {
    ClearTerminate();
    char pattern[] = "/tmp/velora-e2e-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    Dir = pattern;
    IniPath = Dir + "/velora.INI";
    Service = std::make_unique<TRtMidiService>();
    ServiceScope = std::make_unique<TMidiServiceScope>(*Service);
    App = std::make_unique<TApplication>();
    App->SetTitle("Velora");
    RecordErrors();
  }

  // The standard error display records into Errors instead of showing a box.
  void RecordErrors() {
    App->SetErrorDisplay([this](const std::string& caption, const std::string& text) {
      Errors.push_back({caption, text});
    });
  }

  void TearDown() override {
    Form.reset();
    App.reset();
    ServiceScope.reset();
    Service.reset();
    ClearTerminate();
    std::filesystem::permissions(Dir, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add);
    std::filesystem::remove_all(Dir);
  }

  void WriteSettings(const std::string& text) { std::ofstream(IniPath, std::ios::binary) << text; }
  std::string SettingsText() {
    std::ifstream in(IniPath, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }
  std::string Setting(const std::string& section, const std::string& key) {
    return TIniFile(IniPath).ReadString(section, key, "(missing)");
  }

  void CreateForm() {
    Form = std::make_unique<TfMain>(IniPath);
    Form->show();
  }

  static int IndexOf(const TListBox* list, const std::string& text) {
    return list->IndexOfItem(text);
  }
  // A user's mouse click on the item that reads `text`.
  void Click(TListBox* list, const std::string& text) {
    const int index = IndexOf(list, text);
    ASSERT_GE(index, 0) << text << " is not listed";
    list->scrollToItem(list->item(index));
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {},
                      list->visualItemRect(list->item(index)).center());
  }

  std::string Dir;
  std::string IniPath;
  std::unique_ptr<TRtMidiService> Service;
  std::unique_ptr<TMidiServiceScope> ServiceScope;
  std::unique_ptr<TApplication> App;
  std::unique_ptr<TfMain> Form;
  std::vector<TShownError> Errors;
};

}  // namespace velora::e2e
