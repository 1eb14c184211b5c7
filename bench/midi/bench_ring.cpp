// Figures of the input path's producer side: one entry through the ring on one thread, the
// ring between two threads, and short messages through the callback to a window drained on
// another thread (as the translator drains it).
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <new>
#include <thread>

#include "midi/Midicallback.h"

namespace velora {
namespace {

void BM_PutReadRemove(benchmark::State& state) {
  TCircularBuffer* ring = CircbufAlloc(64);
  TMidiBufferItem in{0, 0x403C90, nullptr}, out{};
  for (auto _ : state) {
    ++in.TimeStamp;
    CircbufPutEvent(ring, &in);
    CircbufReadEvent(ring, out);
    CircbufRemoveEvent(ring);
    benchmark::DoNotOptimize(out);
  }
  state.SetItemsProcessed(state.iterations());
  CircbufFree(ring);
}
BENCHMARK(BM_PutReadRemove);

// The producer retries on a full ring, so this is the ring's own hand-over rate.
void BM_RingAcrossThreads(benchmark::State& state) {
  TCircularBuffer* ring = CircbufAlloc(static_cast<std::uint16_t>(state.range(0)));
  std::atomic<bool> stop{false};
  std::atomic<std::uint64_t> taken{0};
  std::thread consumer([&] {
    TMidiBufferItem item;
    std::uint64_t n = 0;
    // relaxed: a stop request only; the entries are handed over by the ring's count.
    while (!stop.load(std::memory_order_relaxed)) {
      if (!CircbufReadEvent(ring, item)) {
        std::this_thread::yield();  // two cores are shared with everything else
        continue;
      }
      do {
        benchmark::DoNotOptimize(item);
        CircbufRemoveEvent(ring);
        ++n;
      } while (CircbufReadEvent(ring, item));
    }
    // release: the final tally is complete before the producer reads it.
    taken.store(n, std::memory_order_release);
  });
  TMidiBufferItem in{0, 0x403C90, nullptr};
  std::uint64_t sent = 0;
  for (auto _ : state) {
    for (int i = 0; i < 1024; ++i) {
      ++in.TimeStamp;
      while (!CircbufPutEvent(ring, &in)) std::this_thread::yield();
    }
    sent += 1024;
  }
  // acquire: pairs with the consumer's loads, so the drain below sees the last entries.
  while (ring->EventCount.load(std::memory_order_acquire) != 0) std::this_thread::yield();
  // relaxed: ends the consumer's loop; its tally comes back through `taken`.
  stop.store(true, std::memory_order_relaxed);
  consumer.join();
  state.SetItemsProcessed(static_cast<std::int64_t>(sent));
  // acquire: pairs with the consumer's release of its tally.
  state.counters["lost"] = static_cast<double>(sent - taken.load(std::memory_order_acquire));
  CircbufFree(ring);
}
BENCHMARK(BM_RingAcrossThreads)->Arg(64)->Arg(5461)->UseRealTime();

// midiHandler on this thread (the service thread); a window on another thread drains every
// waiting entry per notification. Time runs until the last notification has been handled.

// One post and its delivery on one thread: the window side's cost per notification.
void BM_PostAndDeliver(benchmark::State& state) {
  std::uint64_t received = 0;
  const HWND window = AllocateHWnd([&](TMessage&) { ++received; });
  ProcessMessages();
  for (auto _ : state) {
    for (int i = 0; i < 1024; ++i) PostMessage(window, WM_MIDIDATA, 0, 0);
    ProcessMessages();
  }
  state.SetItemsProcessed(state.iterations() * 1024);
  benchmark::DoNotOptimize(received);
  DeallocateHWnd(window);
}
BENCHMARK(BM_PostAndDeliver);

void HandlerToWindow(benchmark::State& state, bool paced) {
  constexpr std::uint32_t kBatch = 1u << 20;
  TCircularBuffer* ring = CircbufAlloc(static_cast<std::uint16_t>(state.range(0)));
  std::atomic<std::uint64_t> handled{0};  // notifications, 963 and 1024
  std::uint64_t delivered = 0, overflow = 0;
  const HWND window = AllocateHWnd([&](TMessage& m) {
    if (m.Msg == WM_RINGOVERFLOW) {
      ++overflow;
    } else {
      TMidiBufferItem item;
      while (CircbufReadEvent(ring, item)) {
        benchmark::DoNotOptimize(item);
        CircbufRemoveEvent(ring);
        ++delivered;
      }
    }
    // release: the tallies above are complete before the producer sees the count.
    handled.fetch_add(1, std::memory_order_release);
  });
  HGLOBAL infoHandle = 0;
  auto* info =
      new (GlobalSharedLockedAlloc(sizeof(TMidiCallbackInfo), infoHandle)) TMidiCallbackInfo{};
  info->Ring = ring;
  info->NotifyWindow = window;
  const auto instance = reinterpret_cast<std::uintptr_t>(info);

  ProcessMessages();
  ClearTerminate();
  std::thread mainLoop([] { RunMessageLoop(); });
  std::uint64_t sent = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    for (std::uint32_t n = 0; n < kBatch; ++n) {
      // The paced service waits for room instead of overflowing (it reads the ring's count
      // as the callback itself does).
      if (paced) {
        // acquire: pairs with the consumer's release of a freed slot.
        while (ring->EventCount.load(std::memory_order_acquire) == ring->MaxCount)
          std::this_thread::yield();
      }
      midiHandler(1, MIM_DATA, instance, n, n);
    }
    sent += kBatch;
    // acquire: pairs with the handler's release, so the batch is fully drained.
    while (handled.load(std::memory_order_acquire) != sent) std::this_thread::yield();
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    state.SetIterationTime(took.count());
  }
  RequestTerminate();
  mainLoop.join();
  ClearTerminate();

  state.counters["entries/s"] =
      benchmark::Counter(static_cast<double>(delivered), benchmark::Counter::kIsRate);
  state.counters["calls/s"] =
      benchmark::Counter(static_cast<double>(sent), benchmark::Counter::kIsRate);
  state.counters["overflow%"] = 100.0 * static_cast<double>(overflow) / static_cast<double>(sent);
  DeallocateHWnd(window);
  GlobalSharedLockedFree(infoHandle, info);
  CircbufFree(ring);
}
// Flood: the service calls as fast as it can and a full ring drops entries.
void BM_HandlerToWindowFlood(benchmark::State& state) {
  HandlerToWindow(state, false);
}
BENCHMARK(BM_HandlerToWindowFlood)
    ->Arg(64)
    ->Arg(5461)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
// Paced: nothing is dropped, so entries/s is the sustained rate through the whole path.
void BM_HandlerToWindowPaced(benchmark::State& state) {
  HandlerToWindow(state, true);
}
BENCHMARK(BM_HandlerToWindowPaced)
    ->Arg(64)
    ->Arg(5461)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace velora

BENCHMARK_MAIN();
