// The callback allocates nothing on the service thread: every heap entry point of this program
// (the global allocation functions and the malloc family) counts the calls made while the
// calling thread has counting switched on.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <new>
#include <thread>

#include "midi/Midicallback.h"

extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* block, std::size_t size);
void* __libc_memalign(std::size_t alignment, std::size_t size);
void __libc_free(void* block);
}

namespace {

thread_local bool tCounting = false;
std::atomic<std::size_t> gAllocations{0};

void Note() {
  // relaxed: a plain tally, read after the counting thread has been joined.
  if (tCounting) gAllocations.fetch_add(1, std::memory_order_relaxed);
}

void* Allocate(std::size_t size) {
  Note();
  if (void* p = __libc_malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}

void* AllocateAligned(std::size_t size, std::align_val_t alignment) {
  Note();
  if (void* p = __libc_memalign(static_cast<std::size_t>(alignment), size ? size : 1)) return p;
  throw std::bad_alloc();
}

}  // namespace

extern "C" {
void* malloc(std::size_t size) noexcept {
  Note();
  return __libc_malloc(size);
}
void* calloc(std::size_t count, std::size_t size) noexcept {
  Note();
  return __libc_calloc(count, size);
}
void* realloc(void* block, std::size_t size) noexcept {
  Note();
  return __libc_realloc(block, size);
}
void* aligned_alloc(std::size_t alignment, std::size_t size) noexcept {
  Note();
  return __libc_memalign(alignment, size);
}
int posix_memalign(void** block, std::size_t alignment, std::size_t size) noexcept {
  Note();
  *block = __libc_memalign(alignment, size);
  return *block ? 0 : ENOMEM;
}
}

void* operator new(std::size_t size) {
  return Allocate(size);
}
void* operator new[](std::size_t size) {
  return Allocate(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  Note();
  return __libc_malloc(size ? size : 1);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  Note();
  return __libc_malloc(size ? size : 1);
}
void* operator new(std::size_t size, std::align_val_t a) {
  return AllocateAligned(size, a);
}
void* operator new[](std::size_t size, std::align_val_t a) {
  return AllocateAligned(size, a);
}
void operator delete(void* p) noexcept {
  __libc_free(p);
}
void operator delete[](void* p) noexcept {
  __libc_free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  __libc_free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
  __libc_free(p);
}
void operator delete(void* p, std::align_val_t) noexcept {
  __libc_free(p);
}
void operator delete[](void* p, std::align_val_t) noexcept {
  __libc_free(p);
}
void operator delete(void* p, std::size_t, std::align_val_t) noexcept {
  __libc_free(p);
}
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept {
  __libc_free(p);
}

namespace velora {
namespace {

// Called through volatile pointers so that the compiler cannot drop the pairs.
void* (*volatile gMalloc)(std::size_t) = std::malloc;
void* (*volatile gNew)(std::size_t) = ::operator new;

TEST(ServiceThread, HandlerAllocatesNothingIncludingPostAndWakeUp) {
  TCircularBuffer* ring = CircbufAlloc(2);
  ASSERT_NE(ring, nullptr);
  std::size_t received = 0;
  const HWND input = AllocateHWnd([&](TMessage&) { ++received; });
  const HWND output = AllocateHWnd([&](TMessage&) { ++received; });
  ASSERT_NE(input, 0u);
  ASSERT_NE(output, 0u);

  HGLOBAL inHandle = 0, outHandle = 0;
  auto* in = new (GlobalSharedLockedAlloc(sizeof(TMidiCallbackInfo), inHandle)) TMidiCallbackInfo{};
  auto* out =
      new (GlobalSharedLockedAlloc(sizeof(TMidiCallbackInfo), outHandle)) TMidiCallbackInfo{};
  in->Ring = ring;
  in->NotifyWindow = input;
  out->NotifyWindow = output;
  const auto inInstance = reinterpret_cast<std::uintptr_t>(in);
  const auto outInstance = reinterpret_cast<std::uintptr_t>(out);
  MIDIHDR headers[3] = {};
  const auto header = [&](int i) { return reinterpret_cast<std::uintptr_t>(&headers[i]); };

  ProcessMessages();  // no wake-up pending: the first post below writes one
  const std::size_t countedBefore = MessageOverflowPosts();
  const std::size_t flood = MessageQueueCapacity() + 16;
  std::size_t harness = 0, handler = 0;
  std::thread service([&] {
    tCounting = true;
    std::free(gMalloc(16));
    ::operator delete(gNew(16));
    harness = gAllocations.exchange(0);

    midiHandler(1, MIM_DATA, inInstance, 0x403C90, 1);        // stored, wakes the loop
    midiHandler(1, MIM_LONGDATA, inInstance, header(0), 2);   // stored: ring now full
    midiHandler(1, MIM_LONGERROR, inInstance, header(1), 3);  // dropped, header kept
    midiHandler(1, MOM_DONE, outInstance, header(2), 0);      // relayed
    in->DropTimingClock = 1;
    midiHandler(1, MIM_DATA, inInstance, 0xF8, 4);  // filtered
    // Overflow notifications until the message queue is full and posts are counted.
    for (std::size_t i = 0; i < flood; ++i) midiHandler(1, MIM_DATA, inInstance, 0x90, 5);
    midiHandler(1, MOM_DONE, outInstance, header(2), 0);  // refused by the full queue
    handler = gAllocations.exchange(0);
    tCounting = false;
  });
  service.join();

  EXPECT_EQ(harness, 2u) << "the counting hooks are not in place";
  EXPECT_EQ(handler, 0u);
  EXPECT_GT(MessageOverflowPosts(), countedBefore);  // the counting path ran
  EXPECT_EQ(ProcessMessages(), 3 + 1 + flood);
  EXPECT_EQ(received, 3 + 1 + flood);

  DeallocateHWnd(input);
  DeallocateHWnd(output);
  GlobalSharedLockedFree(inHandle, in);
  GlobalSharedLockedFree(outHandle, out);
  CircbufFree(ring);
}

}  // namespace
}  // namespace velora
