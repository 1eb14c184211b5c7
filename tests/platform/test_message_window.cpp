// Hidden message windows: delivery order, posts from other threads, handlers that reenter the
// loop or free their own window, the full queue and the terminate request.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/MessageWindow.h"

namespace velora {
namespace {

struct Delivered {
  HWND Wnd;
  std::uint32_t Msg;
  std::uintptr_t LParam;
  bool operator==(const Delivered&) const = default;
};

// Windows that record every delivery into one shared log; all are freed at the end.
class Windows : public ::testing::Test {
 protected:
  void SetUp() override { ProcessMessages(); }
  void TearDown() override {
    ProcessMessages();
    for (HWND w : made) DeallocateHWnd(w);
    ClearTerminate();
  }
  HWND Make(std::function<void(HWND, TMessage&)> extra = {}) {
    auto self = std::make_shared<HWND>(0);
    const HWND w = AllocateHWnd([this, self, extra](TMessage& m) {
      log.push_back({*self, m.Msg, m.LParam});
      if (extra) extra(*self, m);
    });
    *self = w;
    made.push_back(w);
    return w;
  }
  std::vector<Delivered> log;
  std::vector<HWND> made;
};

TEST_F(Windows, DeliversInPostingOrderAcrossWindows) {
  const HWND a = Make(), b = Make();
  ASSERT_NE(a, 0u);
  ASSERT_NE(b, 0u);
  ASSERT_NE(a, b);
  EXPECT_TRUE(PostMessage(a, 963, 0, 1));
  EXPECT_TRUE(PostMessage(b, 1024, 0, 2));
  EXPECT_TRUE(PostMessage(a, 969, 0, 3));
  EXPECT_TRUE(PostMessage(b, 963, 0, 4));
  EXPECT_TRUE(log.empty());  // nothing runs before the loop delivers
  EXPECT_EQ(ProcessMessages(), 4u);
  EXPECT_EQ(log, (std::vector<Delivered>{{a, 963, 1}, {b, 1024, 2}, {a, 969, 3}, {b, 963, 4}}));
  EXPECT_EQ(ProcessMessages(), 0u);
}

TEST_F(Windows, InvalidAndStaleHandlesReachNobody) {
  EXPECT_FALSE(PostMessage(0, 963, 0, 0));
  EXPECT_EQ(SendMessage(0, 963, 0, 0), 0);

  const HWND old = Make();
  DeallocateHWnd(old);
  const HWND reused = Make();  // may take the freed slot: the old handle must not reach it
  PostMessage(old, 963, 0, 1);
  EXPECT_EQ(SendMessage(old, 963, 0, 2), 0);
  DeallocateHWnd(old);  // a second free of a stale handle leaves the new window alone
  PostMessage(reused, 963, 0, 3);
  ProcessMessages();
  EXPECT_EQ(log, (std::vector<Delivered>{{reused, 963, 3}}));
}

TEST_F(Windows, SendRunsTheHandlerAtOnceAndReturnsItsResult) {
  const HWND w = Make([](HWND, TMessage& m) {
    if (m.Msg == WM_QUERYENDSESSION) m.Result = 1;
  });
  PostMessage(w, 963, 0, 1);
  EXPECT_EQ(SendMessage(w, WM_QUERYENDSESSION, 0, 2), 1);
  EXPECT_EQ(log, (std::vector<Delivered>{{w, WM_QUERYENDSESSION, 2}}));  // ahead of the post
  ProcessMessages();
  EXPECT_EQ(log.size(), 2u);
}

TEST_F(Windows, PostsFromAnotherThreadArriveInOrder) {
  const HWND w = Make();
  constexpr std::uintptr_t kPosts = 20000;
  std::thread poster([w] {
    for (std::uintptr_t i = 1; i <= kPosts; ++i) PostMessage(w, 963, 0, i);
  });
  // Only woken passes deliver: a post left without a wake-up fails instead of hanging.
  while (log.size() < kPosts && WaitMessage(5000)) ProcessMessages();
  poster.join();
  ASSERT_EQ(log.size(), kPosts);
  for (std::uintptr_t i = 0; i < kPosts; ++i) ASSERT_EQ(log[i].LParam, i + 1);
}

TEST_F(Windows, HandlerMayFreeItsOwnWindow) {
  const HWND other = Make();
  const HWND self = Make([](HWND me, TMessage& m) {
    if (m.LParam == 1) DeallocateHWnd(me);
  });
  PostMessage(self, 963, 0, 1);
  PostMessage(self, 963, 0, 2);  // dropped: its window is gone
  PostMessage(other, 963, 0, 3);
  EXPECT_EQ(ProcessMessages(), 3u);
  EXPECT_EQ(log, (std::vector<Delivered>{{self, 963, 1}, {other, 963, 3}}));
}

TEST_F(Windows, WindowMadeAgainInsideAHandlerGetsItsOwnMessages) {
  HWND replacement = 0;
  std::vector<std::uintptr_t> old, renewed;
  HWND first = 0;
  first = AllocateHWnd([&](TMessage& m) {
    old.push_back(m.LParam);
    if (m.LParam != 1) return;
    DeallocateHWnd(first);
    replacement = AllocateHWnd([&](TMessage& n) { renewed.push_back(n.LParam); });
    PostMessage(replacement, 963, 0, 3);
  });
  made.push_back(first);
  PostMessage(first, 963, 0, 1);
  PostMessage(first, 963, 0, 2);
  EXPECT_EQ(ProcessMessages(), 3u);
  made.push_back(replacement);
  EXPECT_EQ(old, (std::vector<std::uintptr_t>{1}));
  EXPECT_EQ(renewed, (std::vector<std::uintptr_t>{3}));
}

TEST_F(Windows, NestedLoopDeliversEachMessageOnceInOrder) {
  int depth = 0, deepest = 0;
  const HWND w = Make([&](HWND me, TMessage& m) {
    if (m.LParam == 2) PostMessage(me, 963, 0, 5);  // posted from inside: comes last
    if (m.LParam == 1 || m.LParam == 3) {
      ++depth;
      deepest = std::max(deepest, depth);
      ProcessMessages();
      --depth;
    }
  });
  for (std::uintptr_t i = 1; i <= 4; ++i) PostMessage(w, 963, 0, i);
  ProcessMessages();
  std::vector<std::uintptr_t> order;
  for (const auto& d : log) order.push_back(d.LParam);
  EXPECT_EQ(order, (std::vector<std::uintptr_t>{1, 2, 3, 4, 5}));
  EXPECT_EQ(deepest, 2);
}

TEST_F(Windows, FullQueueCountsPostsAndDeliversThemAfterTheDrain) {
  const HWND a = Make(), b = Make();
  const std::size_t capacity = MessageQueueCapacity();
  const std::size_t overflowBefore = MessageOverflowPosts();
  for (std::size_t i = 0; i < capacity; ++i) ASSERT_TRUE(PostMessage(a, 963, 0, 0)) << i;

  // From here on the queue is full; notifications without parameters are counted.
  for (int i = 0; i < 5; ++i) EXPECT_TRUE(PostMessage(a, 963, 0, 0));
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(PostMessage(b, 1024, 0, 0));
  EXPECT_TRUE(PostMessage(a, 1024, 0, 0));
  EXPECT_FALSE(PostMessage(a, 969, 0, 0x1234));  // a parameter cannot be counted
  EXPECT_EQ(MessageOverflowPosts() - overflowBefore, 9u);

  EXPECT_EQ(ProcessMessages(), capacity + 9);
  ASSERT_EQ(log.size(), capacity + 9);
  std::size_t a963 = 0, a1024 = 0, b1024 = 0;
  for (std::size_t i = capacity; i < log.size(); ++i) {
    const auto& d = log[i];
    a963 += d.Wnd == a && d.Msg == 963;
    a1024 += d.Wnd == a && d.Msg == 1024;
    b1024 += d.Wnd == b && d.Msg == 1024;
  }
  EXPECT_EQ(a963, 5u);
  EXPECT_EQ(a1024, 1u);
  EXPECT_EQ(b1024, 3u);

  // The queue works as before once drained.
  log.clear();
  EXPECT_TRUE(PostMessage(b, 963, 0, 7));
  EXPECT_EQ(ProcessMessages(), 1u);
  EXPECT_EQ(log, (std::vector<Delivered>{{b, 963, 7}}));
}

TEST_F(Windows, ThrowingHandlerLeavesTheRestForTheNextPass) {
  bool thrown = false;
  const HWND w = Make([&](HWND, TMessage& m) {
    if (m.LParam == 2 && !thrown) {
      thrown = true;
      throw std::runtime_error("handler failed");
    }
  });
  for (std::uintptr_t i = 1; i <= 4; ++i) PostMessage(w, 963, 0, i);
  EXPECT_THROW(ProcessMessages(), std::runtime_error);
  EXPECT_TRUE(WaitMessage(0));  // woken again for what is left
  EXPECT_EQ(ProcessMessages(), 2u);
  std::vector<std::uintptr_t> order;
  for (const auto& d : log) order.push_back(d.LParam);
  EXPECT_EQ(order, (std::vector<std::uintptr_t>{1, 2, 3, 4}));
}

TEST_F(Windows, ThrowingHandlerKeepsTheRestOfTheCountedPosts) {
  int calls = 0;
  const HWND filler = Make();
  const HWND w = Make([&](HWND, TMessage&) {
    if (++calls == 1) throw std::runtime_error("handler failed");
  });
  for (std::size_t i = 0; i < MessageQueueCapacity(); ++i) PostMessage(filler, 963, 0, 1);
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(PostMessage(w, 1024, 0, 0));  // counted
  EXPECT_THROW(ProcessMessages(), std::runtime_error);
  EXPECT_TRUE(WaitMessage(0));
  EXPECT_EQ(ProcessMessages(), 4u);
  EXPECT_EQ(calls, 5);
}

TEST_F(Windows, TerminateRequestEndsTheLoop) {
  const HWND w = Make([](HWND, TMessage& m) {
    if (m.LParam == 2) RequestTerminate();
  });
  PostMessage(w, 963, 0, 1);
  PostMessage(w, 963, 0, 2);
  RunMessageLoop();
  EXPECT_TRUE(TerminateRequested());
  EXPECT_EQ(log.size(), 2u);
  EXPECT_TRUE(WaitMessage(-1));  // a pending request never blocks
  ClearTerminate();
  EXPECT_FALSE(TerminateRequested());

  // From another thread, while the loop waits.
  std::thread requester([] { RequestTerminate(); });
  RunMessageLoop();
  requester.join();
  EXPECT_TRUE(TerminateRequested());
}

}  // namespace
}  // namespace velora
