// The real MIDI service on a machine where neither a JACK server nor an ALSA sequencer
// answers: the suite points JACK at a server name nobody runs. Where /dev/snd/seq exists the
// ALSA sequencer answers instead, and only the parts that hold for any machine are checked.
#include <sys/stat.h>

#include <cstdlib>

#include <gtest/gtest.h>

#include "platform/rtmidi/RtMidiService.h"

namespace velora {
namespace {

bool AlsaSequencerPresent() {
  struct stat info {};
  return stat("/dev/snd/seq", &info) == 0;
}

TEST(RtMidiWithoutMidiSystem, CountsAreZeroAndEveryCallAnswersWithACode) {
  setenv("JACK_DEFAULT_SERVER", "velora-no-such-server", 1);
  TRtMidiService service;
  const std::uint32_t inputs = service.midiInGetNumDevs();
  const std::uint32_t outputs = service.midiOutGetNumDevs();
  EXPECT_NE(service.Backend(), mbJack);
  if (!AlsaSequencerPresent()) {
    EXPECT_EQ(service.Backend(), mbNone);
    EXPECT_EQ(inputs, 0u);
    EXPECT_EQ(outputs, 0u);
  }

  MIDIINCAPS inCaps;
  MIDIOUTCAPS outCaps;
  HMIDIIN in = nullptr;
  HMIDIOUT out = nullptr;
  EXPECT_EQ(service.midiInGetDevCapsA(inputs, &inCaps, MIDIINCAPS_SIZE), MMSYSERR_BADDEVICEID);
  EXPECT_EQ(service.midiOutGetDevCapsA(outputs, &outCaps, MIDIOUTCAPS_SIZE), MMSYSERR_BADDEVICEID);
  EXPECT_EQ(service.midiInOpen(&in, inputs, nullptr, 0, CALLBACK_FUNCTION), MMSYSERR_BADDEVICEID);
  EXPECT_EQ(in, nullptr);
  EXPECT_EQ(service.midiOutOpen(&out, outputs, nullptr, 0, CALLBACK_FUNCTION),
            MMSYSERR_BADDEVICEID);
  EXPECT_EQ(service.midiOutShortMsg(out, 0x90), MMSYSERR_INVALHANDLE);

  // The mapper is always there to be found, and says why it cannot open.
  ASSERT_EQ(service.midiOutGetDevCapsA(MIDI_MAPPER, &outCaps, MIDIOUTCAPS_SIZE), 0u);
  EXPECT_EQ(outCaps.szPname, RtMidiMapperName);
  EXPECT_EQ(outCaps.wTechnology, MOD_MAPPER);
  if (!AlsaSequencerPresent()) {
    const MMRESULT result = service.midiOutOpen(&out, MIDI_MAPPER, nullptr, 0, CALLBACK_FUNCTION);
    EXPECT_EQ(result, MMSYSERR_NODRIVER);
    char text[128];
    EXPECT_EQ(service.midiOutGetErrorTextA(result, text, sizeof text), 0u);
  }
}

}  // namespace
}  // namespace velora
