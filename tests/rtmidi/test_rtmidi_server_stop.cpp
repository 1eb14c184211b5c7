// The JACK server stops while Velora has an input and an output open. ctest gives this suite a
// server of its own (JACK_DEFAULT_SERVER), so stopping it disturbs no other suite.
#include <cstdlib>
#include <memory>

#include "midi/MidiIn.h"
#include "midi/MidiOut.h"
#include "platform/rtmidi/RtMidiService.h"
#include "tests/rtmidi/JackClients.h"

namespace velora {
namespace {

using testing::JackScript;
using testing::PumpUntil;
using testing::SendUntilRefused;
using testing::TKeyboard;
using testing::TSynth;
using testing::UniqueClientName;

TEST(RtMidiServerStop, TheProgramGoesOnAndReportsTheLostServerThenFindsItAgain) {
  TRtMidiService service;
  TMidiServiceScope scope(service);
  const std::string keyboardName = UniqueClientName("Keyboard");
  auto keyboard = std::make_unique<TKeyboard>(keyboardName);
  auto synth = std::make_unique<TSynth>();
  TMidiInput input(nullptr);
  input.SetProductName(keyboard->Name());
  int events = 0;
  input.SetOnMidiInput([&](TObject*) {
    while (std::unique_ptr<TMyMidiEvent> e{input.GetMidiEvent()}) ++events;
  });
  input.OpenAndStart();
  TMidiOutput output(nullptr);
  output.SetProductName(synth->Name());
  ASSERT_TRUE(output.Open());
  keyboard->Send({0x90, 1, 1});
  output.NoteOn(0, 1, 1);
  ASSERT_TRUE(PumpUntil([&] { return events == 1; }));
  ASSERT_EQ(synth->WaitFor(1).size(), 1u);
  const std::uint32_t inputs = service.midiInGetNumDevs();
  const std::uint32_t keyboardId = input.DeviceID();

  ASSERT_EQ(std::system((JackScript() + " stop").c_str()), 0);

  const std::string failure = SendUntilRefused(output);
  EXPECT_EQ(output.Error(), MMSYSERR_NODRIVER);
  EXPECT_EQ(failure, output.MidiOutErrorString(MMSYSERR_NODRIVER, ecPutShort));
  EXPECT_EQ(service.Backend(), mbNone);
  EXPECT_EQ(service.midiInGetNumDevs(), inputs);
  EXPECT_NO_THROW(input.StopAndClose());
  EXPECT_TRUE(output.Close());
  EXPECT_FALSE(output.Open());
  // libjack cannot unregister the ports of a client whose server has gone: leave them be.
  (void)keyboard.release();
  (void)synth.release();

  // A server that comes back is found again, and a port keeps its number.
  ASSERT_EQ(std::system((JackScript() + " start >&2").c_str()), 0);
  keyboard = std::make_unique<TKeyboard>(keyboardName);
  EXPECT_EQ(service.midiInGetNumDevs(), inputs);
  EXPECT_EQ(service.Backend(), mbJack);
  input.SetProductName(keyboard->Name());
  EXPECT_EQ(input.DeviceID(), keyboardId);
  input.OpenAndStart();
  keyboard->Send({0x90, 3, 3});
  EXPECT_TRUE(PumpUntil([&] { return events == 2; }));
  input.StopAndClose();
}

}  // namespace
}  // namespace velora

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::AddGlobalTestEnvironment(new velora::testing::TJackEnvironment);
  return RUN_ALL_TESTS();
}
