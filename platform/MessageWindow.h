// Hidden message windows: a handle whose messages go to a handler on the main thread, a post
// that any thread may call, and the main thread's message loop.
//
// A post appends to one preallocated lock-free queue and wakes the loop only when no wake-up
// is pending; the main thread delivers every queued message to its window in posting order.
// When the queue is full, a post without lParam is counted per window and code and delivered
// after the queue has drained, so no notification is lost.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace velora {

using HWND = std::uintptr_t;  // 0 is no window

constexpr std::uint32_t WM_QUERYENDSESSION = 17;
constexpr std::uint32_t WM_USER = 0x0400;

struct TMessage {
  std::uint32_t Msg = 0;
  std::uintptr_t WParam = 0;
  std::uintptr_t LParam = 0;
  std::intptr_t Result = 0;
};

using TWndMethod = std::function<void(TMessage& Message)>;

// Main thread. Returns 0 when no more windows can be made (the table holds 1024).
HWND AllocateHWnd(TWndMethod method);
// Main thread. Messages still queued for the window are dropped.
void DeallocateHWnd(HWND wnd);

// service thread: no allocation, no lock, no throw.
// False only for an invalid window, or when the queue is full and the message carries
// a wParam or lParam (which a count cannot keep).
bool PostMessage(HWND wnd, std::uint32_t msg, std::uintptr_t wParam,
                 std::uintptr_t lParam) noexcept;

// Main thread: runs the window's handler at once and returns its Result (0 for no window).
std::intptr_t SendMessage(HWND wnd, std::uint32_t msg, std::uintptr_t wParam,
                          std::uintptr_t lParam);

// Main thread: delivers every waiting message (reentrant: a handler may run a nested loop).
// Returns the number delivered.
std::size_t ProcessMessages();
// A descriptor that becomes readable when messages wait (for an outside loop to watch).
int MessageWakeHandle();
// Main thread: waits until messages wait, termination is requested or timeoutMs passes
// (negative: no limit). True when something is there to handle.
bool WaitMessage(int timeoutMs);

// The platform's own loop: delivers messages until termination is requested.
void RunMessageLoop();
// Any thread: asks the loop to end; the request stays until ClearTerminate.
void RequestTerminate() noexcept;
bool TerminateRequested() noexcept;
void ClearTerminate() noexcept;

// Test hooks: the queue's capacity, and the number of posts that were counted instead of
// queued since the start.
std::size_t MessageQueueCapacity();
std::size_t MessageOverflowPosts();

}  // namespace velora
