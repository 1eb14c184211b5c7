// A JACK server for the suites, and two JACK clients written with RtMidi that stand for the
// user's keyboard (it sends into Velora) and synthesizer (it records what Velora sends).
#pragma once

#include <jack/jack.h>
#include <rtmidi/RtMidi.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "midi/MidiOut.h"
#include "platform/MessageWindow.h"

namespace velora::testing {

using TBytes = std::vector<std::uint8_t>;

inline void Quiet(const char*) {}

inline bool JackAnswers() {
  jack_set_error_function(Quiet);
  jack_set_info_function(Quiet);
  jack_status_t status{};
  jack_client_t* client = jack_client_open("velora-probe", JackNoStartServer, &status);
  if (!client) return false;
  jack_client_close(client);
  return true;
}

inline std::string JackScript() {
  return std::string(VELORA_SOURCE_DIR) + "/scripts/jack-dummy";
}

// Makes sure a JACK server answers: the one CI started, or one started here with the dummy
// driver. The server this environment started is stopped again at the end.
class TJackEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    if (JackAnswers()) return;
    const std::string command = JackScript() + " start >&2";
    if (std::system(command.c_str()) != 0 || !JackAnswers())
      FAIL() << "No JACK server answers and '" << JackScript()
             << " start' could not start one (see its message above); these suites need a JACK "
                "server with MIDI ports, e.g. jackd -d dummy.";
    FStarted = true;
  }
  void TearDown() override {
    if (FStarted) std::system((JackScript() + " stop").c_str());
  }

 private:
  bool FStarted = false;
};

// A client name no other run uses, so JACK keeps it exactly.
inline std::string UniqueClientName(const std::string& stem) {
  static int serial = 0;
  return stem + std::to_string(getpid()) + "x" + std::to_string(++serial);
}

inline void TrapRtMidiError(RtMidiError::Type, const std::string& text, void*) {
  ADD_FAILURE() << "test client: " << text;
}

// Sends into Velora through a port of its own: "<client>:<port>".
class TKeyboard {
 public:
  explicit TKeyboard(const std::string& client = UniqueClientName("Keyboard"),
                     const std::string& port = "out")
      : FName(client + ":" + port), FMidi(RtMidi::UNIX_JACK, client) {
    FMidi.setErrorCallback(TrapRtMidiError);
    FMidi.openVirtualPort(port);
  }
  const std::string& Name() const { return FName; }
  void Send(const TBytes& bytes) { FMidi.sendMessage(bytes.data(), bytes.size()); }

 private:
  std::string FName;
  RtMidiOut FMidi;
};

// Records every message Velora sends to its port.
class TSynth {
 public:
  explicit TSynth(const std::string& client = UniqueClientName("Synth"),
                  const std::string& port = "in")
      : FName(client + ":" + port), FMidi(RtMidi::UNIX_JACK, client) {
    FMidi.setErrorCallback(TrapRtMidiError);
    FMidi.ignoreTypes(false, false, false);
    FMidi.setCallback(&TSynth::Arrived, this);
    FMidi.openVirtualPort(port);
  }
  const std::string& Name() const { return FName; }
  // Waits (10 s at most) until `count` messages arrived; returns what arrived.
  std::vector<TBytes> WaitFor(std::size_t count) {
    std::unique_lock lock(FMutex);
    FArrived.wait_for(lock, std::chrono::seconds(10), [&] { return FMessages.size() >= count; });
    return FMessages;
  }
  std::vector<TBytes> Messages() {
    std::lock_guard lock(FMutex);
    return FMessages;
  }

 private:
  static void Arrived(double, std::vector<unsigned char>* message, void* user) {
    auto* self = static_cast<TSynth*>(user);
    {
      std::lock_guard lock(self->FMutex);
      self->FMessages.emplace_back(message->begin(), message->end());
    }
    self->FArrived.notify_all();
  }

  std::string FName;
  std::mutex FMutex;
  std::condition_variable FArrived;
  std::vector<TBytes> FMessages;
  RtMidiIn FMidi;  // last: its callback stops before the members above go
};

// Runs the main thread's message loop until `done` holds (10 s at most); returns `done()`.
inline bool PumpUntil(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!done() && std::chrono::steady_clock::now() < deadline) {
    WaitMessage(20);
    ProcessMessages();
  }
  return done();
}

// Sends a note until the service has learnt of a loss and refuses; returns the error text.
inline std::string SendUntilRefused(TMidiOutput& output) {
  std::string failure;
  PumpUntil([&] {
    try {
      output.NoteOn(0, 2, 2);
      return false;
    } catch (const EMidiOutputError& e) {
      failure = e.what();
      return true;
    }
  });
  return failure;
}

inline TBytes Sysex(std::size_t size) {
  TBytes bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i % 0x7F);
  bytes.front() = 0xF0;
  bytes.back() = 0xF7;
  return bytes;
}

}  // namespace velora::testing
