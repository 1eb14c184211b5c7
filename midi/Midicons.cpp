#include "midi/Midicons.h"

#include <cstdio>

namespace velora {

std::string MidiMessageToStr(std::uint8_t status) {
  switch (status & 0xF0) {
    case 0x80:
      return "MIDI_NOTEOFF";
    case 0x90:
      return "MIDI_NOTEON";
    case 0xA0:
      return "MIDI_KEYAFTERTOUCH";
    case 0xB0:
      return "MIDI_CONTROLCHANGE";
    case 0xC0:
      return "MIDI_PROGRAMCHANGE";
    case 0xD0:
      return "MIDI_CHANAFTERTOUCH";
    case 0xE0:
      return "MIDI_PITCHBEND";
    case 0xF0:
      return "MIDI_BEGINSYSEX or MIDI_SYSTEMMESSAGE";
    default: {
      char text[40];
      std::snprintf(text, sizeof text, "Unknown MIDI Message 0x%02X | %u", status, status);
      return text;
    }
  }
}

}  // namespace velora
