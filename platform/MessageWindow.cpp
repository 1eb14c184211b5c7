#include "platform/MessageWindow.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <memory>
#include <vector>

namespace velora {

namespace {

constexpr std::size_t kQueueSize = std::size_t{1} << 16;  // a power of two
constexpr std::size_t kWindows = 1024;
constexpr std::size_t kCountedCodes = 8;

struct Cell {
  std::atomic<std::size_t> sequence;
  HWND wnd;
  std::uint32_t msg;
  std::uintptr_t wParam;
  std::uintptr_t lParam;
};

struct CountedCode {
  std::atomic<std::uint32_t> msg{0};  // 0: slot free
  std::atomic<std::uint32_t> count{0};
};

struct WindowSlot {
  std::shared_ptr<TWndMethod> method;  // main thread only
  std::uint32_t generation = 0;        // main thread only
  std::array<CountedCode, kCountedCodes> counted;
  std::atomic<bool> hasCounted{false};
};

struct Loop {
  std::unique_ptr<Cell[]> cells{new Cell[kQueueSize]};
  alignas(64) std::atomic<std::size_t> enqueuePos{0};
  alignas(64) std::size_t dequeuePos = 0;  // main thread only
  alignas(64) std::atomic<bool> wakePending{false};
  std::atomic<bool> countedPending{false};
  std::atomic<bool> terminate{false};
  std::atomic<std::size_t> countedPosts{0};
  std::array<WindowSlot, kWindows> windows;
  int wakeRead = -1;
  int wakeWrite = -1;

  Loop() {
    for (std::size_t i = 0; i < kQueueSize; ++i)
      // relaxed: set up before any other thread can reach the loop.
      cells[i].sequence.store(i, std::memory_order_relaxed);
    int fds[2];
    if (pipe(fds) == 0) {
      for (int fd : fds) {
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        fcntl(fd, F_SETFD, FD_CLOEXEC);
      }
      wakeRead = fds[0];
      wakeWrite = fds[1];
    }
  }
};

Loop& TheLoop() {
  static Loop loop;
  return loop;
}

// A handle is the slot number plus one in the low 16 bits and the slot's generation above.
std::size_t SlotOf(HWND wnd) {
  return (wnd & 0xFFFF) - 1;
}

// service thread: no allocation, no lock, no throw.
void Wake(Loop& loop) noexcept {
  // acq_rel: the queued cell is published before the flag the consumer clears and re-reads.
  if (!loop.wakePending.exchange(true, std::memory_order_acq_rel)) {
    const char byte = 1;
    [[maybe_unused]] ssize_t n = write(loop.wakeWrite, &byte, 1);  // a full pipe already wakes
  }
}

// service thread: no allocation, no lock, no throw.
bool Count(Loop& loop, WindowSlot& slot, std::uint32_t msg) noexcept {
  for (auto& c : slot.counted) {
    std::uint32_t current = c.msg.load(std::memory_order_acquire);
    if (current == 0) {
      // acq_rel: claims the slot for this code so that concurrent posters agree on it.
      if (c.msg.compare_exchange_strong(current, msg, std::memory_order_acq_rel)) current = msg;
    }
    if (current == msg) {
      // relaxed: the count is published by the release exchange of hasCounted below.
      c.count.fetch_add(1, std::memory_order_relaxed);
      // release, as read-modify-writes: every poster's count so far is visible to the
      // consumer that takes the flag, whichever poster set it last.
      slot.hasCounted.exchange(true, std::memory_order_release);
      loop.countedPending.exchange(true, std::memory_order_release);
      // relaxed: a tally for tests; it publishes nothing.
      loop.countedPosts.fetch_add(1, std::memory_order_relaxed);
      return true;
    }
  }
  return false;
}

// `held` keeps the handler of the last delivery, so a burst to one window costs no reference
// counting per message; it also keeps a handler alive while it frees its own window.
void Deliver(Loop& loop, std::shared_ptr<TWndMethod>& held, HWND wnd, std::uint32_t msg,
             std::uintptr_t wParam, std::uintptr_t lParam) {
  const std::size_t index = SlotOf(wnd);
  if (index >= kWindows) return;
  WindowSlot& slot = loop.windows[index];
  if (!slot.method || slot.generation != (wnd >> 16)) return;  // window gone
  if (held != slot.method) held = slot.method;
  TMessage message{msg, wParam, lParam, 0};
  (*held)(message);
}

}  // namespace

HWND AllocateHWnd(TWndMethod method) {
  Loop& loop = TheLoop();
  for (std::size_t i = 0; i < kWindows; ++i) {
    WindowSlot& slot = loop.windows[i];
    if (slot.method) continue;
    slot.generation = (slot.generation + 1) & 0xFFFFFF;
    if (slot.generation == 0) slot.generation = 1;
    for (auto& c : slot.counted) {
      // relaxed: no device posts to a window that is not yet handed out.
      c.count.store(0, std::memory_order_relaxed);
      c.msg.store(0, std::memory_order_relaxed);
    }
    // relaxed: as above, nothing posts here yet.
    slot.hasCounted.store(false, std::memory_order_relaxed);
    slot.method = std::make_shared<TWndMethod>(std::move(method));
    return (static_cast<HWND>(slot.generation) << 16) | (i + 1);
  }
  return 0;
}

void DeallocateHWnd(HWND wnd) {
  Loop& loop = TheLoop();
  const std::size_t index = SlotOf(wnd);
  if (wnd == 0 || index >= kWindows) return;
  WindowSlot& slot = loop.windows[index];
  if (slot.generation != (wnd >> 16)) return;
  slot.method.reset();
}

bool PostMessage(HWND wnd, std::uint32_t msg, std::uintptr_t wParam,
                 std::uintptr_t lParam) noexcept {
  const std::size_t index = SlotOf(wnd);
  if (wnd == 0 || index >= kWindows) return false;
  Loop& loop = TheLoop();
  std::size_t pos = loop.enqueuePos.load(std::memory_order_relaxed);
  for (;;) {
    Cell& cell = loop.cells[pos & (kQueueSize - 1)];
    // acquire: the consumer's release of this cell happens before we overwrite it.
    const std::size_t seq = cell.sequence.load(std::memory_order_acquire);
    const auto diff = static_cast<std::intptr_t>(seq) - static_cast<std::intptr_t>(pos);
    if (diff == 0) {
      // relaxed: claiming the position only; the cell is published by the release below.
      if (loop.enqueuePos.compare_exchange_weak(pos, pos + 1, std::memory_order_relaxed)) {
        cell.wnd = wnd;
        cell.msg = msg;
        cell.wParam = wParam;
        cell.lParam = lParam;
        // release: publishes the cell's fields to the consumer.
        cell.sequence.store(pos + 1, std::memory_order_release);
        Wake(loop);
        return true;
      }
    } else if (diff < 0) {
      // Queue full: keep the notification as a count.
      if (wParam != 0 || lParam != 0) return false;
      if (!Count(loop, loop.windows[index], msg)) return false;
      Wake(loop);
      return true;
    } else {
      pos = loop.enqueuePos.load(std::memory_order_relaxed);
    }
  }
}

std::intptr_t SendMessage(HWND wnd, std::uint32_t msg, std::uintptr_t wParam,
                          std::uintptr_t lParam) {
  Loop& loop = TheLoop();
  const std::size_t index = SlotOf(wnd);
  if (wnd == 0 || index >= kWindows) return 0;
  WindowSlot& slot = loop.windows[index];
  if (!slot.method || slot.generation != (wnd >> 16)) return 0;
  std::shared_ptr<TWndMethod> method = slot.method;
  TMessage message{msg, wParam, lParam, 0};
  (*method)(message);
  return message.Result;
}

std::size_t ProcessMessages() {
  Loop& loop = TheLoop();
  // Empty the pipe before the flag is cleared: a byte written after the clear belongs to a
  // post that this pass may miss, so it must stay to wake the loop again.
  char drain[64];
  while (read(loop.wakeRead, drain, sizeof drain) > 0) {
  }
  // acq_rel: a read-modify-write reads the latest poster's exchange, so every cell (and
  // count) published before it is seen below; a post after this clear wakes us again.
  loop.wakePending.exchange(false, std::memory_order_acq_rel);
  std::size_t delivered = 0;
  std::shared_ptr<TWndMethod> held;
  WindowSlot* counting = nullptr;  // the window whose counted posts are being delivered
  CountedCode* code = nullptr;     // ... the code among them
  std::uint32_t left = 0;          // ... and how many of it are still to go
  try {
    for (;;) {
      const std::size_t pos = loop.dequeuePos;
      Cell& cell = loop.cells[pos & (kQueueSize - 1)];
      // acquire: pairs with the producer's release, so the fields are complete.
      const std::size_t seq = cell.sequence.load(std::memory_order_acquire);
      if (static_cast<std::intptr_t>(seq) - static_cast<std::intptr_t>(pos + 1) < 0) break;
      const HWND wnd = cell.wnd;
      const std::uint32_t msg = cell.msg;
      const std::uintptr_t wParam = cell.wParam;
      const std::uintptr_t lParam = cell.lParam;
      // release: the copy above is complete before a producer may reuse the cell.
      cell.sequence.store(pos + kQueueSize, std::memory_order_release);
      loop.dequeuePos = pos + 1;  // before the handler, which may deliver more messages itself
      Deliver(loop, held, wnd, msg, wParam, lParam);
      ++delivered;
    }
    // acquire: pairs with Count's release, so the counts read below are complete.
    if (loop.countedPending.exchange(false, std::memory_order_acquire)) {
      for (std::size_t i = 0; i < kWindows; ++i) {
        WindowSlot& slot = loop.windows[i];
        if (!slot.hasCounted.exchange(false, std::memory_order_acquire)) continue;
        counting = &slot;
        const HWND wnd = (static_cast<HWND>(slot.generation) << 16) | (i + 1);
        for (auto& c : slot.counted) {
          const std::uint32_t msg = c.msg.load(std::memory_order_acquire);
          if (msg == 0) continue;
          code = &c;
          // acq_rel: takes the count published through the flag and leaves 0 for new posts.
          left = c.count.exchange(0, std::memory_order_acq_rel);
          while (left > 0) {
            --left;  // counted as gone before the handler, which may throw
            Deliver(loop, held, wnd, msg, 0, 0);
            ++delivered;
          }
        }
        code = nullptr;
        counting = nullptr;
      }
    }
  } catch (...) {
    // A throwing handler ends this pass: announce what is left so that the loop comes back.
    if (counting) {
      // relaxed: published by the flags' exchanges below.
      if (code && left > 0) code->count.fetch_add(left, std::memory_order_relaxed);
      // acq_rel, as read-modify-writes: keeps the posters' counts published through the flags.
      counting->hasCounted.exchange(true, std::memory_order_acq_rel);
      loop.countedPending.exchange(true, std::memory_order_acq_rel);
    }
    Wake(loop);
    throw;
  }
  return delivered;
}

int MessageWakeHandle() {
  return TheLoop().wakeRead;
}

bool WaitMessage(int timeoutMs) {
  Loop& loop = TheLoop();
  // acquire: pairs with RequestTerminate's release.
  if (loop.terminate.load(std::memory_order_acquire)) return true;
  pollfd fd{loop.wakeRead, POLLIN, 0};
  int r;
  do {
    r = poll(&fd, 1, timeoutMs);
  } while (r < 0 && errno == EINTR);
  // acquire: pairs with RequestTerminate's release.
  return r > 0 || loop.terminate.load(std::memory_order_acquire);
}

void RunMessageLoop() {
  Loop& loop = TheLoop();
  // acquire: pairs with RequestTerminate's release.
  while (!loop.terminate.load(std::memory_order_acquire)) {
    WaitMessage(-1);
    ProcessMessages();
  }
}

void RequestTerminate() noexcept {
  Loop& loop = TheLoop();
  // release: whatever the requester wrote before is visible to the loop that ends.
  loop.terminate.store(true, std::memory_order_release);
  const char byte = 1;
  [[maybe_unused]] ssize_t n = write(loop.wakeWrite, &byte, 1);
}

bool TerminateRequested() noexcept {
  // acquire: pairs with RequestTerminate's release.
  return TheLoop().terminate.load(std::memory_order_acquire);
}

void ClearTerminate() noexcept {
  // relaxed: main thread only resets its own request.
  TheLoop().terminate.store(false, std::memory_order_relaxed);
}

std::size_t MessageQueueCapacity() {
  return kQueueSize;
}
std::size_t MessageOverflowPosts() {
  // relaxed: a tally for tests; it publishes nothing.
  return TheLoop().countedPosts.load(std::memory_order_relaxed);
}

}  // namespace velora
