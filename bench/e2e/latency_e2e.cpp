// One latency and loss measurement between a scripted keyboard and a scripted synth, both
// JACK MIDI clients, with whatever connects them (Velora, a peer, or a direct connection)
// set up by the caller. Prints one line: rate, sent, expected, received, lost, p50, p99, max.
//
// usage: latency_e2e RATE SECONDS KEYBOARD_CLIENT SYNTH_CLIENT [direct]
//
// The stream: one Note On, then in turn a Control Change 20 whose value and channel carry a
// sequence number (passes unchanged; its latency is measured), and a Channel Aftertouch
// (rewritten to Polyphonic Key Aftertouch for the held note; counted for loss).
#include <rtmidi/RtMidi.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

using Clock = std::chrono::steady_clock;

namespace {

constexpr unsigned kIds = 16 * 128;  // channel x value

struct Receiver {
  std::vector<Clock::time_point> sentAt;
  std::vector<std::int64_t> latencyNs;
  std::atomic<std::size_t> received{0};
  std::atomic<std::size_t> outOfOrder{0};
  std::size_t lastSeq = 0;
  bool seen = false;
};

void OnMessage(double, std::vector<unsigned char>* message, void* user) {
  auto* r = static_cast<Receiver*>(user);
  const auto now = Clock::now();
  const unsigned char status = (*message)[0];
  if ((status & 0xF0) == 0xB0 && (*message)[1] == 20) {
    const unsigned id = (status & 0x0F) * 128u + (*message)[2];
    // Sequence numbers wrap every kIds: take the one nearest the last seen.
    const std::size_t base = r->lastSeq - r->lastSeq % kIds;
    std::size_t seq = base + id;
    if (seq + kIds / 2 < r->lastSeq) seq += kIds;
    if (seq > r->lastSeq + kIds / 2 && seq >= kIds) seq -= kIds;
    if (r->seen && seq <= r->lastSeq) r->outOfOrder.fetch_add(1, std::memory_order_relaxed);
    r->seen = true;
    r->lastSeq = seq;
    if (seq < r->sentAt.size() && r->sentAt[seq] != Clock::time_point{})
      r->latencyNs.push_back(
          std::chrono::duration_cast<std::chrono::nanoseconds>(now - r->sentAt[seq]).count());
  }
  r->received.fetch_add(1, std::memory_order_relaxed);
}

bool WaitConnected(const std::string& port, int seconds) {
  const auto deadline = Clock::now() + std::chrono::seconds(seconds);
  while (Clock::now() < deadline) {
    const std::string cmd = "jack_lsp -c '" + port + "' | grep -q '^ '";
    if (std::system(cmd.c_str()) == 0) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5 && argc != 6) {
    std::fprintf(stderr, "usage: %s RATE SECONDS KEYBOARD_CLIENT SYNTH_CLIENT [direct]\n", argv[0]);
    return 2;
  }
  const double rate = std::atof(argv[1]);
  const double seconds = std::atof(argv[2]);
  const std::string keyboardName = argv[3], synthName = argv[4];
  const bool direct = argc == 6 && std::string(argv[5]) == "direct";
  const std::size_t pairs = static_cast<std::size_t>(rate * seconds / 2);

  Receiver receiver;
  receiver.sentAt.resize(pairs);
  receiver.latencyNs.reserve(pairs);
  try {
    RtMidiOut keyboard(RtMidi::UNIX_JACK, keyboardName);
    keyboard.openVirtualPort("out");
    RtMidiIn synth(RtMidi::UNIX_JACK, synthName, 1 << 20);
    synth.ignoreTypes(false, false, false);
    synth.setCallback(&OnMessage, &receiver);
    synth.openVirtualPort("in");
    std::printf("ports ready\n");
    std::fflush(stdout);
    if (!WaitConnected(keyboardName + ":out", 30) || !WaitConnected(synthName + ":in", 30)) {
      std::fprintf(stderr, "nothing connected the keyboard and the synth\n");
      return 1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));

    std::vector<unsigned char> msg{0x90, 60, 100};
    std::size_t sent = 0;
    auto send = [&] {
      keyboard.sendMessage(&msg);
      ++sent;
    };
    send();
    std::size_t expected = 1;
    const auto start = Clock::now();
    const auto interval = std::chrono::duration<double>(2.0 / rate);
    for (std::size_t i = 0; i < pairs; ++i) {
      std::this_thread::sleep_until(start +
                                    std::chrono::duration_cast<Clock::duration>(interval * i));
      const unsigned id = i % kIds;
      msg = {static_cast<unsigned char>(0xB0 | (id / 128)), 20,
             static_cast<unsigned char>(id % 128)};
      receiver.sentAt[i] = Clock::now();
      send();
      msg = {0xD0, static_cast<unsigned char>(1 + i % 126)};
      send();
      expected += 2;
      if (i % 8 == 7) {  // a pitch bend now and then: passes unchanged
        msg = {0xE0, static_cast<unsigned char>(i % 128), 64};
        send();
        ++expected;
      }
      if (i % 64 == 63) {  // system exclusive: a translator drops it, a cable carries it
        msg = {0xF0, 0x7D, static_cast<unsigned char>(i % 128), 0xF7};
        send();
        if (direct) ++expected;
      }
    }
    msg = {0x80, 60, 0};
    send();
    expected += direct ? 1 : 2;  // a translator adds pressure 0 before the Note Off
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));

    auto& l = receiver.latencyNs;
    std::sort(l.begin(), l.end());
    auto pct = [&](double p) {
      return l.empty() ? 0.0
                       : l[std::min(l.size() - 1, static_cast<std::size_t>(p * l.size()))] / 1000.0;
    };
    const std::size_t got = receiver.received.load();
    std::printf(
        "rate %.0f sent %zu expected %zu received %zu lost %zu reordered %zu "
        "p50_us %.0f p99_us %.0f max_us %.0f\n",
        rate, sent, expected, got, expected > got ? expected - got : 0, receiver.outOfOrder.load(),
        pct(0.50), pct(0.99), l.empty() ? 0.0 : l.back() / 1000.0);
  } catch (const RtMidiError& e) {
    std::fprintf(stderr, "RtMidi: %s\n", e.getMessage().c_str());
    return 1;
  }
  return 0;
}
