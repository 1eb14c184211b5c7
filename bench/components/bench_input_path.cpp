// The whole input path on the virtual service: a sender thread plays the keyboard; the
// service thread runs midiHandler, which fills the ring and posts 963; the main loop raises
// OnMidiInput, whose handler takes each event with GetMidiEvent and sends it on with
// TMidiOutput::PutShort; the virtual output's hook takes the receipt time.
//
// Prints the highest paced rate that gets through without a ring overflow, an unpaced burst,
// and the latency from the sender's call to the output's receipt at 1,000 and 10,000 msg/s.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

#include "midi/MidiIn.h"
#include "midi/MidiOut.h"
#include "platform/virtual/VirtualMidiService.h"

using namespace velora;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::uint32_t kIndexBits = 18;  // channel nibble and both data bytes
constexpr std::uint32_t kIndexMask = (1u << kIndexBits) - 1;

std::uint32_t PackIndex(std::uint32_t index) {
  index &= kIndexMask;
  const std::uint32_t status = 0x90 | (index >> 14);
  return status | (((index >> 7) & 0x7F) << 8) | ((index & 0x7F) << 16);
}

std::uint32_t UnpackIndex(std::uint32_t packed) {
  return ((packed & 0x0F) << 14) | (((packed >> 8) & 0x7F) << 7) | ((packed >> 16) & 0x7F);
}

std::int64_t Nanoseconds(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}

struct TRunResult {
  std::uint64_t Sent = 0;
  std::uint64_t Received = 0;
  std::uint64_t Overflows = 0;
  double Seconds = 0;  // first send to last receipt
  std::vector<std::int64_t> LatencyNs;
};

class TInputPath {
 public:
  TInputPath(std::uint16_t capacity) {
    FInputId = FService.AddInput({"Bench keyboard", 1, 1, 1});
    FOutputId = FService.AddOutput({"Bench synth"});
    FInput = std::make_unique<TMidiInput>(nullptr);
    FOutput = std::make_unique<TMidiOutput>(nullptr);
    FInput->SetDeviceID(FInputId);
    FInput->SetCapacity(capacity);
    FOutput->SetDeviceID(FOutputId);
    FInput->SetOnMidiInput([this](TObject*) {
      while (FInput->GetEventCount() > 0) {
        std::unique_ptr<TMyMidiEvent> event(FInput->GetMidiEvent());
        FOutput->PutShort(event->StatusByte, event->DataByte1, event->DataByte2);
      }
    });
    FInput->SetOnOverflow([this](TObject*) { ++FResult.Overflows; });
    FService.SetOutputHook([this](std::uint32_t, const TRecordedOutput& record) {
      const std::int64_t now = Nanoseconds(Clock::now());
      if (FMeasure) FResult.LatencyNs.push_back(now - FSendTime[UnpackIndex(record.Short)]);
      FLastReceipt = now;
      ++FResult.Received;
    });
    if (!FOutput->Open()) std::fprintf(stderr, "output did not open\n");
    FInput->OpenAndStart();
  }
  ~TInputPath() {
    FService.SetOutputHook(nullptr);
    FInput->StopAndClose();
    FOutput->Close();
  }

  // rate 0: as fast as the sender can go. measure: keep each message's latency.
  TRunResult Run(std::uint64_t count, double rate, bool measure) {
    FResult = TRunResult{};
    FMeasure = measure;
    if (measure) FResult.LatencyNs.reserve(count);
    FSendTime.assign(std::size_t{kIndexMask} + 1, 0);
    std::atomic<bool> senderDone{false};
    std::int64_t firstSend = 0;

    std::thread sender([&] {
      const Clock::time_point start = Clock::now();
      firstSend = Nanoseconds(start);
      std::uint64_t i = 0;
      while (i < count) {
        std::uint64_t due = count;
        if (rate > 0) {
          const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
          due = std::min<std::uint64_t>(count, static_cast<std::uint64_t>(elapsed * rate) + 1);
        }
        for (; i < due; ++i) {
          // Written before the send; the service's queue and the post carry it to the main
          // thread ahead of the message.
          FSendTime[i & kIndexMask] = Nanoseconds(Clock::now());
          FService.SendShort(FInputId, PackIndex(static_cast<std::uint32_t>(i)));
        }
        if (rate > 0 && i < count)
          std::this_thread::sleep_until(start + std::chrono::nanoseconds(static_cast<std::int64_t>(
                                                    static_cast<double>(i) * 1e9 / rate)));
      }
      senderDone.store(true, std::memory_order_release);  // release: firstSend is written
    });

    std::uint64_t cleared = 0;
    const Clock::time_point giveUp = Clock::now() + std::chrono::seconds(30);
    // acquire: pairs with the sender's release.
    while (!senderDone.load(std::memory_order_acquire) ||
           FResult.Received + FResult.Overflows < count) {
      if (WaitMessage(50)) ProcessMessages();
      if (FResult.Received - cleared > 100000) {  // the output's log is not what we measure
        FService.ClearOutputLog(FOutputId);
        cleared = FResult.Received;
      }
      if (Clock::now() > giveUp) {
        std::fprintf(stderr, "gave up: %u entries still waiting\n", FInput->GetEventCount());
        break;
      }
    }
    sender.join();
    FService.ClearOutputLog(FOutputId);
    FResult.Sent = count;
    FResult.Seconds = static_cast<double>(FLastReceipt - firstSend) / 1e9;
    return std::move(FResult);
  }

 private:
  TVirtualMidiService FService;
  TMidiServiceScope FScope{FService};
  std::uint32_t FInputId = 0;
  std::uint32_t FOutputId = 0;
  std::unique_ptr<TMidiInput> FInput;
  std::unique_ptr<TMidiOutput> FOutput;
  std::vector<std::int64_t> FSendTime;
  bool FMeasure = false;
  std::int64_t FLastReceipt = 0;
  TRunResult FResult;
};

double Percentile(const std::vector<std::int64_t>& sorted, double p) {
  if (sorted.empty()) return 0;
  const auto index = static_cast<std::size_t>(p * static_cast<double>(sorted.size() - 1) + 0.5);
  return static_cast<double>(sorted[index]) / 1000.0;
}

}  // namespace

int main() {
  std::printf(
      "input path: sender -> service thread -> midiHandler -> ring -> 963 -> OnMidiInput"
      " -> GetMidiEvent -> PutShort -> virtual output\n");
  {
    TInputPath path(1024);
    std::printf("\nthroughput, paced sender, 1 s per step, ring of 1024 entries:\n");
    double sustained = 0;
    for (double rate : {50000.0, 100000.0, 200000.0, 300000.0, 400000.0, 600000.0, 800000.0}) {
      const auto r = path.Run(static_cast<std::uint64_t>(rate), rate, false);
      const double achieved = static_cast<double>(r.Received) / r.Seconds;
      std::printf("  target %7.0f msg/s: received %7" PRIu64 " of %7" PRIu64
                  ", %8.0f msg/s, overflows %" PRIu64 "\n",
                  rate, r.Received, r.Sent, achieved, r.Overflows);
      if (r.Overflows != 0 || r.Received != r.Sent || achieved < 0.95 * rate) break;
      sustained = achieved;
    }
    std::printf("sustained without overflow: %.0f msg/s\n", sustained);

    const std::uint64_t burst = 500000;
    const auto r = path.Run(burst, 0, false);
    std::printf("unpaced burst of %" PRIu64 ": received %" PRIu64
                " in %.3f s (%.0f msg/s),"
                " overflows %" PRIu64 "\n",
                burst, r.Received, r.Seconds, static_cast<double>(r.Received) / r.Seconds,
                r.Overflows);
  }
  std::printf("\nlatency, sender's call to the output's receipt, paced for 3 s:\n");
  for (double rate : {1000.0, 10000.0}) {
    TInputPath path(1024);
    auto r = path.Run(static_cast<std::uint64_t>(rate * 3), rate, true);
    std::sort(r.LatencyNs.begin(), r.LatencyNs.end());
    std::printf("  %5.0f msg/s: %zu messages, overflows %" PRIu64
                ", p50 %.1f us, p99 %.1f us, max %.1f us\n",
                rate, r.LatencyNs.size(), r.Overflows, Percentile(r.LatencyNs, 0.50),
                Percentile(r.LatencyNs, 0.99), Percentile(r.LatencyNs, 1.0));
  }
  return 0;
}
