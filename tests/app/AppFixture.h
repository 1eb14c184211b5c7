// Shared set-up of the window suites: Qt on its offscreen platform, the virtual MIDI service,
// an application object whose error display and dialogs record instead of showing, and a
// settings file in a fresh folder.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <QApplication>
#include <QCoreApplication>
#include <QEventLoop>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "app/Main.h"
#include "platform/IniFile.h"
#include "platform/MessageWindow.h"
#include "platform/qt/Dialogs.h"
#include "platform/qt/Forms.h"
#include "platform/virtual/VirtualMidiService.h"

namespace velora {

inline void EnsureQApplication() {
  if (QCoreApplication::instance()) return;
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  static int argc = 1;
  static char name[] = "velora-tests";
  static char* argv[] = {name, nullptr};
  new QApplication(argc, argv);
}

struct TShownError {
  std::string Caption;
  std::string Text;
};

class TWindowTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { EnsureQApplication(); }

  void SetUp() override {
    ClearTerminate();
    char pattern[] = "/tmp/velora-app-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    Dir = pattern;
    IniPath = Dir + "/velora.INI";
    App = std::make_unique<TApplication>();
    App->SetTitle("Velora");
    App->SetErrorDisplay([this](const std::string& caption, const std::string& text) {
      Errors.push_back({caption, text});
    });
    SetMessageDialogDisplay([this](const TMessageDialog& dialog) {
      Dialogs.push_back(dialog);
      return mrOk;
    });
  }

  void TearDown() override {
    Form.reset();
    App.reset();
    SetMessageDialogDisplay({});
    ClearTerminate();
    std::filesystem::permissions(Dir, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add);
    std::filesystem::remove_all(Dir);
    EXPECT_EQ(Service.OpenInputs(), 0u);
    EXPECT_EQ(Service.OpenOutputs(), 0u);
  }

  void WriteSettings(const std::string& text) { std::ofstream(IniPath, std::ios::binary) << text; }
  std::string Setting(const std::string& section, const std::string& key) {
    return TIniFile(IniPath).ReadString(section, key, "(missing)");
  }
  std::string SettingsText() {
    std::ifstream in(IniPath, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }

  void CreateForm() {
    Form = std::make_unique<TfMain>(IniPath);
    Form->show();
  }
  // Ends the program's window as at exit: FormDestroy runs.
  void DestroyForm() { Form.reset(); }

  // Delivers everything the devices sent through the Qt loop, as the program does.
  void Pump() {
    Service.WaitIdle();
    for (int i = 0; i < 1000 && WaitMessage(0); ++i)
      QCoreApplication::processEvents(QEventLoop::AllEvents);
  }

  // What the output device received, as "SS D1 D2" in hexadecimal.
  std::vector<std::string> Sent(std::uint32_t output = 0) {
    std::vector<std::string> sent;
    for (const auto& record : Service.OutputLog(output)) {
      char text[16];
      std::snprintf(text, sizeof text, "%02X %02X %02X", record.Short & 0xFF,
                    (record.Short >> 8) & 0xFF, (record.Short >> 16) & 0xFF);
      sent.push_back(text);
    }
    return sent;
  }

  TVirtualMidiService Service;
  TMidiServiceScope ServiceScope{Service};
  std::string Dir;
  std::string IniPath;
  std::unique_ptr<TApplication> App;
  std::unique_ptr<TfMain> Form;
  std::vector<TShownError> Errors;
  std::vector<TMessageDialog> Dialogs;
};

}  // namespace velora
