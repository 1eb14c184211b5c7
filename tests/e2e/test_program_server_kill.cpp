// The JACK server dies (SIGKILL) while Velora has a keyboard and a synthesizer open. The suite
// runs a server of its own, so killing it disturbs no other suite.
#include <cstdlib>
#include <fstream>

#include "ProgramFixture.h"

namespace velora::e2e {
namespace {

using testing::JackAnswers;
using testing::JackScript;

// The pid of the server that scripts/jack-dummy started under our server name.
pid_t JackServerPid() {
  const char* dir = std::getenv("TMPDIR");
  const char* name = std::getenv("JACK_DEFAULT_SERVER");
  std::ifstream file(std::string(dir && *dir ? dir : "/tmp") + "/velora-jackd-" +
                     (name ? name : "default") + ".pid");
  pid_t pid = -1;
  file >> pid;
  return pid;
}

class ProgramServerKill : public TProgramTest {};

TEST_F(ProgramServerKill, ProgramGoesOnReportsAndWorksAgainOnANewServer) {
  const pid_t server = JackServerPid();
  ASSERT_GT(server, 0) << "this suite kills the server it started; none was started here";
  const std::string keyboardName = UniqueClientName("Keys");
  const std::string synthName = UniqueClientName("Synth");
  auto keyboard = std::make_unique<TClientProcess>("keyboard", keyboardName);
  auto synth = std::make_unique<TClientProcess>("synth", synthName);
  ASSERT_TRUE(keyboard->Ready && synth->Ready);
  WriteSettings("[MidiDevices]\nInput=" + keyboard->Name() + "\nOutput=" + synth->Name() + "\n");
  CreateForm();
  ASSERT_TRUE(Errors.empty()) << Errors[0].Text;
  keyboard->Send("90 3C 64");
  ASSERT_EQ(synth->WaitFor(1), std::vector<std::string>{"90 3C 64"});
  const int keyboardItem = Form->lbMidiIn->IndexOfItem(keyboard->Name());
  const int synthItem = Form->lbMidiOut->IndexOfItem(synth->Name());

  ASSERT_EQ(kill(server, SIGKILL), 0);
  ASSERT_TRUE(PumpUntil([] { return !JackAnswers(); }));

  // The user acts at once, maybe before the program has heard of the loss: closing the open
  // devices on the lost server must not reach it, and reopening them reports the loss.
  Click(Form->lbMidiIn, keyboard->Name());
  ASSERT_EQ(Errors.size(), 1u);
  EXPECT_EQ(Errors[0].Text, Form->MidiSynthToPC->MidiInErrorString(MMSYSERR_NODRIVER));
  Click(Form->lbMidiOut, synth->Name());
  ASSERT_EQ(Errors.size(), 2u);
  EXPECT_EQ(Errors[1].Text, Form->MidiPCToSynth->MidiOutErrorString(MMSYSERR_NODRIVER, ecGeneric));
  EXPECT_EQ(Form->MidiSynthToPC->State(), misClosed);
  EXPECT_EQ(Form->MidiPCToSynth->State(), mosClosed);
  PumpRounds(100);
  EXPECT_EQ(Errors.size(), 2u);

  keyboard->Kill();
  synth->Kill();
  // A new server under the same name starts only once the old one has been reaped.
  const std::string serverProcess = "/proc/" + std::to_string(server);
  ASSERT_TRUE(PumpUntil([&] { return !std::filesystem::exists(serverProcess); }));

  // A new server with the same clients: the lists, filled at start, still name them, and the
  // devices keep their numbers, so choosing them again works.
  ASSERT_EQ(std::system((JackScript() + " start >&2").c_str()), 0);
  keyboard = std::make_unique<TClientProcess>("keyboard", keyboardName);
  synth = std::make_unique<TClientProcess>("synth", synthName);
  ASSERT_TRUE(keyboard->Ready && synth->Ready);
  Click(Form->lbMidiIn, keyboard->Name());
  Click(Form->lbMidiOut, synth->Name());
  EXPECT_EQ(Errors.size(), 2u);
  EXPECT_EQ(Form->MidiSynthToPC->DeviceID(), static_cast<std::uint32_t>(keyboardItem));
  EXPECT_EQ(Form->MidiPCToSynth->DeviceID(), static_cast<std::uint32_t>(synthItem));
  keyboard->Send("90 40 50");
  keyboard->Send("D0 33");
  EXPECT_EQ(synth->WaitFor(2), (std::vector<std::string>{"90 40 50", "A0 40 33"}));
  Form.reset();
  EXPECT_EQ(Errors.size(), 2u);
}

}  // namespace
}  // namespace velora::e2e

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::AddGlobalTestEnvironment(new velora::e2e::TPrivateJackServer("velora-e2e-kill"));
  ::testing::AddGlobalTestEnvironment(new velora::testing::TJackEnvironment);
  return RUN_ALL_TESTS();
}
