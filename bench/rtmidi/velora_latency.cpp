// End-to-end latency through Velora on a live JACK server.
//
// A keyboard client sends note-on messages at a steady rate; each carries its sequence number
// in its channel and data bytes. Path "velora": keyboard -> TMidiInput -> OnMidiInput handler
// -> TMidiOutput::PutShort -> synthesizer client. Path "direct": the keyboard's port connected
// straight to the synthesizer's, the floor that the server itself sets. For each rate the
// program prints the median, 99th percentile and largest latency and the messages lost.
//
//   velora-latency [seconds per run, default 2]
//
// Start the server first, e.g. scripts/jack-dummy start 64 (or 16).
#include <jack/jack.h>
#include <rtmidi/RtMidi.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "midi/MidiIn.h"
#include "midi/MidiOut.h"
#include "platform/MessageWindow.h"
#include "platform/rtmidi/RtMidiService.h"

using namespace velora;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::uint32_t kMaxMessages = 1u << 18;  // 18 bits of sequence number

std::int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
      .count();
}

void Quiet(const char*) {}

// Records the arrival time of each sequence number (the first arrival only).
class TSynth {
 public:
  explicit TSynth(const std::string& client)
      : FArrival(kMaxMessages), FMidi(RtMidi::UNIX_JACK, client) {
    FMidi.ignoreTypes(false, false, false);
    FMidi.setCallback(&TSynth::Arrived, this);
    FMidi.openVirtualPort("in");
  }
  void Reset(std::uint32_t count) {
    // relaxed: published by the release of the count below.
    for (std::uint32_t i = 0; i < count; ++i) FArrival[i].store(0, std::memory_order_relaxed);
    // release: the cleared slots are in place before the next message can arrive.
    FReceived.store(0, std::memory_order_release);
  }
  std::uint32_t Received() const {
    // acquire: pairs with the callback's count.
    return FReceived.load(std::memory_order_acquire);
  }
  std::int64_t Arrival(std::uint32_t seq) const {
    // relaxed: read after the run, once the count said everything had arrived.
    return FArrival[seq].load(std::memory_order_relaxed);
  }

 private:
  static void Arrived(double, std::vector<unsigned char>* m, void* user) {
    auto* self = static_cast<TSynth*>(user);
    if (m->size() != 3 || ((*m)[0] & 0xF0) != 0x90) return;
    const std::uint32_t seq = (std::uint32_t{(*m)[0] & 0x0Fu} << 14) |
                              (std::uint32_t{(*m)[1]} << 7) | std::uint32_t{(*m)[2]};
    std::int64_t expected = 0;
    // relaxed: the slot's own value; the count below publishes it.
    if (self->FArrival[seq].compare_exchange_strong(expected, NowNs(), std::memory_order_relaxed))
      // release: publishes the arrival time written above.
      self->FReceived.fetch_add(1, std::memory_order_release);
  }

  std::vector<std::atomic<std::int64_t>> FArrival;
  std::atomic<std::uint32_t> FReceived{0};
  RtMidiIn FMidi;
};

struct TFigures {
  std::uint32_t Sent = 0;
  std::uint32_t Lost = 0;
  double P50 = 0, P99 = 0, Max = 0;  // microseconds
};

// Sends `count` messages at `rate` per second from a thread of its own, pumping the main
// thread's message loop meanwhile (the Velora path needs it), then waits for stragglers.
TFigures Run(RtMidiOut& keyboard, TSynth& synth, std::uint32_t rate, std::uint32_t count) {
  synth.Reset(count);
  std::vector<std::int64_t> sent(count);
  std::atomic<bool> finished{false};
  std::thread sender([&] {
    const auto start = Clock::now();
    for (std::uint32_t seq = 0; seq < count; ++seq) {
      std::this_thread::sleep_until(start + std::chrono::nanoseconds(1'000'000'000ll * seq / rate));
      const unsigned char message[3] = {static_cast<unsigned char>(0x90 | ((seq >> 14) & 0x0F)),
                                        static_cast<unsigned char>((seq >> 7) & 0x7F),
                                        static_cast<unsigned char>(seq & 0x7F)};
      sent[seq] = NowNs();
      keyboard.sendMessage(message, 3);
    }
    // release: the send times are complete before the main thread reads them.
    finished.store(true, std::memory_order_release);
  });
  // acquire: pairs with the sender's release.
  while (!finished.load(std::memory_order_acquire)) {
    WaitMessage(1);
    ProcessMessages();
  }
  sender.join();
  const auto deadline = Clock::now() + std::chrono::seconds(1);
  while (synth.Received() < count && Clock::now() < deadline) {
    WaitMessage(1);
    ProcessMessages();
  }

  TFigures f;
  f.Sent = count;
  std::vector<double> latencies;
  latencies.reserve(count);
  for (std::uint32_t seq = 0; seq < count; ++seq) {
    const std::int64_t arrival = synth.Arrival(seq);
    if (arrival == 0)
      ++f.Lost;
    else
      latencies.push_back(static_cast<double>(arrival - sent[seq]) / 1000.0);
  }
  if (!latencies.empty()) {
    std::sort(latencies.begin(), latencies.end());
    const auto at = [&](double q) {
      return latencies[std::min(latencies.size() - 1,
                                static_cast<std::size_t>(q * latencies.size()))];
    };
    f.P50 = at(0.50);
    f.P99 = at(0.99);
    f.Max = latencies.back();
  }
  return f;
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 2.0;
  jack_set_error_function(Quiet);
  jack_set_info_function(Quiet);
  jack_client_t* jack = jack_client_open("velora-latency", JackNoStartServer, nullptr);
  if (!jack) {
    std::fprintf(
        stderr,
        "velora-latency: no JACK server answers (start one with scripts/jack-dummy start)\n");
    return 1;
  }
  jack_activate(jack);
  const jack_nframes_t period = jack_get_buffer_size(jack);
  const jack_nframes_t sampleRate = jack_get_sample_rate(jack);

  const std::string suffix = std::to_string(getpid());
  const std::string keyboardClient = "BenchKeyboard" + suffix;
  const std::string synthClient = "BenchSynth" + suffix;
  RtMidiOut keyboard(RtMidi::UNIX_JACK, keyboardClient);
  keyboard.openVirtualPort("out");
  TSynth synth(synthClient);
  const std::string keyboardPort = keyboardClient + ":out";
  const std::string synthPort = synthClient + ":in";

  TRtMidiService service;
  TMidiServiceScope scope(service);

  std::printf("JACK dummy driver, period %u frames at %u Hz (%.2f ms per cycle), %.1f s per run\n",
              period, sampleRate, 1000.0 * period / sampleRate, seconds);
  std::printf("%-7s %-6s %8s %8s %6s %9s %9s %9s\n", "period", "path", "rate/s", "sent", "lost",
              "p50 us", "p99 us", "max us");
  for (const std::uint32_t rate : {1000u, 5000u, 20000u}) {
    const auto count =
        std::min<std::uint32_t>(kMaxMessages, static_cast<std::uint32_t>(rate * seconds));
    for (const bool direct : {true, false}) {
      TFigures f;
      if (direct) {
        if (jack_connect(jack, keyboardPort.c_str(), synthPort.c_str()) != 0) {
          std::fprintf(stderr, "velora-latency: cannot connect %s to %s\n", keyboardPort.c_str(),
                       synthPort.c_str());
          return 1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        f = Run(keyboard, synth, rate, count);
        jack_disconnect(jack, keyboardPort.c_str(), synthPort.c_str());
      } else {
        try {
          TMidiInput input(nullptr);
          TMidiOutput output(nullptr);
          input.SetProductName(keyboardPort);
          output.SetProductName(synthPort);
          input.SetOnMidiInput([&](TObject*) {
            while (input.GetEventCount() > 0) {
              std::unique_ptr<TMyMidiEvent> e(input.GetMidiEvent());
              if (!e) break;
              output.PutShort(e->StatusByte, e->DataByte1, e->DataByte2);
            }
          });
          if (!output.Open()) throw Exception("cannot open " + synthPort);
          input.OpenAndStart();
          std::this_thread::sleep_for(std::chrono::milliseconds(50));
          f = Run(keyboard, synth, rate, count);
          input.StopAndClose();
          output.Close();
        } catch (const std::exception& e) {
          std::fprintf(stderr, "velora-latency: %s\n", e.what());
          return 1;
        }
      }
      std::printf("%-7u %-6s %8u %8u %6u %9.0f %9.0f %9.0f\n", period, direct ? "direct" : "velora",
                  rate, f.Sent, f.Lost, f.P50, f.P99, f.Max);
      std::fflush(stdout);
    }
  }
  jack_client_close(jack);
  return 0;
}
