// A JACK MIDI client in a process of its own, so that a suite can kill it like a device that
// is unplugged or a program that crashes.
//
//   velora_e2e_client keyboard <client>   port "<client>:out"; each stdin line of hexadecimal
//                                         bytes ("90 3c 64") is sent as one message
//   velora_e2e_client synth <client>      port "<client>:in"; each message received is
//                                         written to stdout as one such line
//
// Both print "ready" once their port exists and end when stdin ends.
#include <rtmidi/RtMidi.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::mutex OutputLock;

void PrintLine(const std::string& line) {
  std::lock_guard lock(OutputLock);
  std::fputs((line + "\n").c_str(), stdout);
  std::fflush(stdout);
}

void Arrived(double, std::vector<unsigned char>* message, void*) {
  std::string line;
  char byte[4];
  for (unsigned char b : *message) {
    std::snprintf(byte, sizeof byte, "%s%02X", line.empty() ? "" : " ", b);
    line += byte;
  }
  PrintLine(line);
}

void Failed(RtMidiError::Type, const std::string& text, void*) {
  std::fprintf(stderr, "velora_e2e_client: %s\n", text.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s keyboard|synth <client>\n", argv[0]);
    return 2;
  }
  const std::string role = argv[1];
  try {
    if (role == "keyboard") {
      RtMidiOut out(RtMidi::UNIX_JACK, argv[2]);
      out.setErrorCallback(Failed);
      out.openVirtualPort("out");
      PrintLine("ready");
      for (std::string line; std::getline(std::cin, line);) {
        std::istringstream in(line);
        std::vector<unsigned char> bytes;
        for (unsigned value; in >> std::hex >> value;)
          bytes.push_back(static_cast<unsigned char>(value));
        if (!bytes.empty()) out.sendMessage(&bytes);
      }
      return 0;
    }
    if (role == "synth") {
      RtMidiIn in(RtMidi::UNIX_JACK, argv[2]);
      in.setErrorCallback(Failed);
      in.ignoreTypes(false, false, false);
      in.setCallback(Arrived);
      in.openVirtualPort("in");
      PrintLine("ready");
      for (std::string line; std::getline(std::cin, line);) {
      }
      return 0;
    }
  } catch (const std::exception& error) {
    std::fprintf(stderr, "velora_e2e_client: %s\n", error.what());
    return 1;
  }
  std::fprintf(stderr, "velora_e2e_client: unknown role %s\n", role.c_str());
  return 2;
}
