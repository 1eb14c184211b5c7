// Lists the MIDI input and output devices that the platform's MIDI service sees.
#include <cstdio>
#include <memory>

#include "platform/MidiService.h"
#ifdef VELORA_HAVE_RTMIDI
#include "platform/rtmidi/RtMidiService.h"
#endif

using namespace velora;

int main() {
#ifdef VELORA_HAVE_RTMIDI
  std::unique_ptr<TMidiService> service = CreateRtMidiService();
  TMidiServiceScope scope(*service);
#endif
  const std::uint32_t inputs = midiInGetNumDevs();
  std::printf("MIDI input devices: %u\n", inputs);
  for (std::uint32_t i = 0; i < inputs; ++i) {
    MIDIINCAPS caps;
    const MMRESULT r = midiInGetDevCapsA(i, &caps, MIDIINCAPS_SIZE);
    if (r == 0)
      std::printf("  %u: %s\n", i, caps.szPname.c_str());
    else
      std::printf("  %u: (unreadable: %s)\n", i, MidiResultText(r) ? MidiResultText(r) : "?");
  }
  const std::uint32_t outputs = midiOutGetNumDevs();
  std::printf("MIDI output devices: %u\n", outputs);
  for (std::uint32_t i = 0; i < outputs; ++i) {
    MIDIOUTCAPS caps;
    const MMRESULT r = midiOutGetDevCapsA(i, &caps, MIDIOUTCAPS_SIZE);
    if (r == 0)
      std::printf("  %u: %s\n", i, caps.szPname.c_str());
    else
      std::printf("  %u: (unreadable: %s)\n", i, MidiResultText(r) ? MidiResultText(r) : "?");
  }
  return 0;
}
