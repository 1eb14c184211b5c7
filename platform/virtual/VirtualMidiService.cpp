#include "platform/virtual/VirtualMidiService.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <unordered_map>
#include <unordered_set>

namespace velora {

namespace {

using Clock = std::chrono::steady_clock;

// Keeps done notifications bounded when a caller floods an output with long messages.
constexpr std::size_t MaxLongMessagesInFlight = 4096;

enum TOperation : std::uint8_t {
  opInGetNumDevs,
  opInGetDevCaps,
  opInGetErrorText,
  opInOpen,
  opInClose,
  opInStart,
  opInStop,
  opInReset,
  opInPrepareHeader,
  opInUnprepareHeader,
  opInAddBuffer,
  opOutGetNumDevs,
  opOutGetDevCaps,
  opOutGetErrorText,
  opOutOpen,
  opOutClose,
  opOutShortMsg,
  opOutPrepareHeader,
  opOutUnprepareHeader,
  opOutLongMsg,
  opOutGetVolume,
  opOutSetVolume,
  opOutCachePatches,
  opOutCacheDrumPatches,
  opOutMessage,
  opCount
};

// The method names, in the order of TOperation.
constexpr std::array<std::string_view, opCount> OperationNames = {
    "midiInGetNumDevs",
    "midiInGetDevCapsA",
    "midiInGetErrorTextA",
    "midiInOpen",
    "midiInClose",
    "midiInStart",
    "midiInStop",
    "midiInReset",
    "midiInPrepareHeader",
    "midiInUnprepareHeader",
    "midiInAddBuffer",
    "midiOutGetNumDevs",
    "midiOutGetDevCapsA",
    "midiOutGetErrorTextA",
    "midiOutOpen",
    "midiOutClose",
    "midiOutShortMsg",
    "midiOutPrepareHeader",
    "midiOutUnprepareHeader",
    "midiOutLongMsg",
    "midiOutGetVolume",
    "midiOutSetVolume",
    "midiOutCachePatches",
    "midiOutCacheDrumPatches",
    "midiOutMessage",
};

TOperation OperationByName(std::string_view name) {
  for (std::size_t i = 0; i < OperationNames.size(); ++i)
    if (OperationNames[i] == name) return static_cast<TOperation>(i);
  // A misspelt name would silently inject nothing and let a test pass for the wrong reason.
  throw std::invalid_argument("unknown MIDI service operation: " + std::string(name));
}

struct TFailure {
  MMRESULT Code = 0;
  std::uint32_t Skip = 0;
  std::uint32_t Times = 0;
};

// One open of a device. The object lives as long as the service, so a closed handle never
// aliases a later one and queued work may point at it after close.
struct THandleState {
  bool IsInput = true;
  std::uint32_t Device = 0;
  MidiCallback Callback = nullptr;
  std::uintptr_t Instance = 0;
  // Written under the lock; relaxed: the service thread only uses them to skip work early,
  // the lock and the batch hand-over give the ordering that close relies on.
  std::atomic<bool> Closed{false};
  std::atomic<bool> Removed{false};
  bool Started = false;
  Clock::time_point StartTime{};
  std::deque<MIDIHDR*> Buffers;  // input buffers added and not handed back, oldest first
  std::size_t InFlight = 0;      // long output messages not yet done
};

struct TInputState {
  TVirtualInputDevice Info;
  bool Removed = false;
  THandleState* Open = nullptr;
};

struct TOutputState {
  TVirtualOutputDevice Info;
  bool Present = true;  // false only for an unset mapper
  bool Removed = false;
  THandleState* Open = nullptr;
  std::vector<TRecordedOutput> Log;
};

struct THeaderState {
  THandleState* Owner = nullptr;
  bool Queued = false;  // input: added; output: long message not yet done
};

enum TWorkKind : std::uint8_t { wkShort, wkSysex, wkRaw, wkReset, wkLongDone };

struct TWork {
  TWorkKind Kind = wkShort;
  THandleState* Handle = nullptr;
  std::uint32_t Msg = 0;
  std::uintptr_t Param1 = 0;
  std::uintptr_t Param2 = 0;
  bool Complete = true;
  std::vector<std::uint8_t> Bytes;
};

struct TCall {
  THandleState* Handle;
  std::uint32_t Msg;
  std::uintptr_t Param1;
  std::uintptr_t Param2;
};

std::uint32_t MillisecondsSince(Clock::time_point start, Clock::time_point now) {
  return static_cast<std::uint32_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(now - start).count());
}

void Invoke(const TCall& call) {
  THandleState* h = call.Handle;
  if (h->Callback)
    h->Callback(reinterpret_cast<std::uintptr_t>(h), call.Msg, h->Instance, call.Param1,
                call.Param2);
}

}  // namespace

struct TVirtualMidiService::Impl {
  mutable std::mutex Lock;
  std::condition_variable WorkReady;    // wakes the service thread
  std::condition_variable Progress;     // a batch ended: idle waits, resets, closes
  std::condition_variable OutputAdded;  // WaitOutput

  std::deque<TInputState> Inputs;
  std::deque<TOutputState> Outputs;
  TOutputState Mapper = UnsetMapper();

  static TOutputState UnsetMapper() {
    TOutputState m;
    m.Present = false;
    return m;
  }

  std::vector<std::unique_ptr<THandleState>> Handles;
  std::unordered_set<const void*> OpenHandles;
  std::unordered_map<MIDIHDR*, THeaderState> Headers;

  // Producers append to Queue; the service thread swaps it with Batch, so both keep their
  // capacity and steady input allocates nothing.
  std::vector<TWork> Queue;
  std::vector<TWork> Batch;
  std::vector<TCall> Calls;  // service thread only
  std::vector<TWork> HeldDone;
  bool HoldDone = false;
  std::uint64_t Enqueued = 0;
  std::uint64_t Processed = 0;
  bool Sleeping = false;
  bool Stopping = false;
  bool BatchActive = false;
  std::uint64_t BatchSeq = 0;
  std::size_t OutputWaiters = 0;

  std::array<std::uint32_t, opCount> Counts{};
  std::array<TFailure, opCount> Failures{};
  std::shared_ptr<const std::function<void(std::uint32_t, const TRecordedOutput&)>> Hook;

  std::thread Thread;
  std::thread::id ServiceThreadId;

  Impl() {
    Thread = std::thread([this] { Run(); });
    ServiceThreadId = Thread.get_id();
  }

  ~Impl() {
    {
      std::lock_guard<std::mutex> lk(Lock);
      Stopping = true;
    }
    WorkReady.notify_one();
    Thread.join();
  }

  bool OnServiceThread() const { return std::this_thread::get_id() == ServiceThreadId; }

  // --- Everything below that takes `lk` or says "lock held" runs with Lock held.

  MMRESULT Enter(TOperation op) {  // lock held
    ++Counts[op];
    TFailure& f = Failures[op];
    if (f.Times == 0) return MMSYSERR_NOERROR;
    if (f.Skip > 0) {
      --f.Skip;
      return MMSYSERR_NOERROR;
    }
    --f.Times;
    return f.Code;
  }

  // Returns whether the service thread must be woken; only the first push after it fell
  // asleep says so, so a burst costs one wake-up.
  bool Push(TWork&& work) {  // lock held
    Queue.push_back(std::move(work));
    ++Enqueued;
    const bool wake = Sleeping;
    Sleeping = false;
    return wake;
  }

  void Enqueue(TWork&& work) {  // lock held
    if (Push(std::move(work))) WorkReady.notify_one();
  }

  TOutputState* FindOutput(std::uint32_t id) {  // lock held
    if (id == MIDI_MAPPER) return Mapper.Present ? &Mapper : nullptr;
    return id < Outputs.size() ? &Outputs[id] : nullptr;
  }

  TOutputState& OutputOf(const THandleState* h) {  // lock held
    return h->Device == MIDI_MAPPER ? Mapper : Outputs[h->Device];
  }

  THandleState* FindHandle(const void* handle, bool input) {  // lock held
    if (!handle || !OpenHandles.count(handle)) return nullptr;
    auto* h = static_cast<THandleState*>(const_cast<void*>(handle));
    return h->IsInput == input ? h : nullptr;
  }

  // Waits until no callback for a just-closed handle can still be running.
  void WaitForBatch(std::unique_lock<std::mutex>& lk) {
    if (!BatchActive || OnServiceThread()) return;
    const std::uint64_t seq = BatchSeq;
    Progress.wait(lk, [&] { return !BatchActive || BatchSeq != seq; });
  }

  void WaitProcessed(std::unique_lock<std::mutex>& lk, std::uint64_t ticket) {
    Progress.wait(lk, [&] { return Processed >= ticket || Stopping; });
  }

  // A handle of a device that disappeared: its buffers and long messages can never come back
  // through the callback, so they are handed back silently and its headers forgotten (they
  // could not be unprepared). Only queued headers are written: the others belong to their
  // user, who may have released them already.
  void ReleaseAbandoned(THandleState* h) {  // lock held
    for (auto it = Headers.begin(); it != Headers.end();) {
      if (it->second.Owner != h) {
        ++it;
        continue;
      }
      if (it->second.Queued) it->first->dwFlags = (it->first->dwFlags | MHDR_DONE) & ~MHDR_INQUEUE;
      it = Headers.erase(it);
    }
    h->Buffers.clear();
    h->InFlight = 0;
    std::erase_if(HeldDone, [h](const TWork& w) { return w.Handle == h; });
  }

  void CloseHandle(std::unique_lock<std::mutex>& lk, THandleState* h) {
    // relaxed: read by the service thread only to skip work; the lock orders the rest.
    h->Closed.store(true, std::memory_order_relaxed);
    h->Started = false;
    OpenHandles.erase(h);
    if (h->IsInput)
      Inputs[h->Device].Open = nullptr;
    else
      OutputOf(h).Open = nullptr;
    WaitForBatch(lk);
  }

  // --- Service thread.

  // Runs on the service thread; takes the service's own lock, never while calling back.
  void Run() {
    std::unique_lock<std::mutex> lk(Lock);
    for (;;) {
      while (!Stopping && Queue.empty()) {
        Sleeping = true;
        WorkReady.wait(lk);
        Sleeping = false;  // also when woken for nothing
      }
      if (Stopping) break;
      std::swap(Queue, Batch);
      BatchActive = true;
      ++BatchSeq;
      lk.unlock();
      const std::size_t count = Batch.size();
      for (TWork& work : Batch) Deliver(work);
      Batch.clear();
      lk.lock();
      Processed += count;
      BatchActive = false;
      Progress.notify_all();
    }
  }

  // Runs on the service thread; called without the lock.
  void Deliver(TWork& work) {
    THandleState* h = work.Handle;
    // relaxed: an early skip only; a handle closed before this batch was taken is seen
    // through the lock, one closed during it waits for the batch to end.
    if (h->Closed.load(std::memory_order_relaxed)) return;
    switch (work.Kind) {
      case wkShort:
        if (!h->Removed.load(std::memory_order_relaxed))  // relaxed: as Closed above
          Invoke({h, MIM_DATA, work.Param1, work.Param2});
        break;
      case wkRaw:
        Invoke({h, work.Msg, work.Param1, work.Param2});
        break;
      case wkSysex:
        FillBuffers(work);
        break;
      case wkReset: {
        Calls.clear();
        {
          std::lock_guard<std::mutex> lk(Lock);
          TakeBuffersBack(h, Calls);
        }
        for (const TCall& call : Calls) Invoke(call);
        break;
      }
      case wkLongDone:
        CompleteLong(work);
        break;
    }
  }

  // Runs on the service thread; called without the lock.
  void FillBuffers(TWork& work) {
    THandleState* h = work.Handle;
    Calls.clear();
    {
      std::lock_guard<std::mutex> lk(Lock);
      if (h->Closed.load(std::memory_order_relaxed) || h->Removed.load(std::memory_order_relaxed))
        return;  // relaxed: read under the lock that orders their stores
      const std::vector<std::uint8_t>& bytes = work.Bytes;
      std::size_t pos = 0;
      // An empty message still comes back in one buffer, empty, as from a device that
      // abandoned a message at once.
      bool first = true;
      while ((pos < bytes.size() || (first && bytes.empty())) && !h->Buffers.empty()) {
        first = false;
        MIDIHDR* header = h->Buffers.front();
        h->Buffers.pop_front();
        const std::size_t take = std::min<std::size_t>(header->dwBufferLength, bytes.size() - pos);
        if (take > 0) std::memcpy(header->lpData, bytes.data() + pos, take);
        pos += take;
        header->dwBytesRecorded = static_cast<std::uint32_t>(take);
        header->dwFlags = (header->dwFlags | MHDR_DONE) & ~MHDR_INQUEUE;
        Headers[header].Queued = false;
        Calls.push_back({h, MIM_LONGDATA, reinterpret_cast<std::uintptr_t>(header), work.Param2});
      }
      // A message cut short for want of buffers is as broken as one the sender left open.
      if (!Calls.empty() && (!work.Complete || pos < bytes.size()))
        Calls.back().Msg = MIM_LONGERROR;
    }
    for (const TCall& call : Calls) Invoke(call);
  }

  // Hands every queued input buffer back, oldest first, with what it recorded.
  void TakeBuffersBack(THandleState* h, std::vector<TCall>& calls) {  // lock held
    if (h->Closed.load(std::memory_order_relaxed)) return;  // relaxed: read under the lock
    const std::uint32_t stamp =
        h->StartTime == Clock::time_point{} ? 0 : MillisecondsSince(h->StartTime, Clock::now());
    for (MIDIHDR* header : h->Buffers) {
      header->dwFlags = (header->dwFlags | MHDR_DONE) & ~MHDR_INQUEUE;
      Headers[header].Queued = false;
      calls.push_back({h, MIM_LONGDATA, reinterpret_cast<std::uintptr_t>(header), stamp});
    }
    h->Buffers.clear();
  }

  // Runs on the service thread; called without the lock.
  void CompleteLong(TWork& work) {
    THandleState* h = work.Handle;
    auto* header = reinterpret_cast<MIDIHDR*>(work.Param1);
    {
      std::lock_guard<std::mutex> lk(Lock);
      if (h->Closed.load(std::memory_order_relaxed)) return;  // relaxed: read under the lock
      auto it = Headers.find(header);
      if (it == Headers.end() || it->second.Owner != h || !it->second.Queued) return;
      it->second.Queued = false;
      header->dwFlags = (header->dwFlags | MHDR_DONE) & ~MHDR_INQUEUE;
      --h->InFlight;
    }
    Invoke({h, MOM_DONE, work.Param1, 0});
  }

  // --- Shared parts of the input and output header operations.

  MMRESULT Prepare(THandleState* h, MIDIHDR* header, std::uint32_t size) {  // lock held
    if (!header || size != MIDIHDR_SIZE || !header->lpData) return MMSYSERR_INVALPARAM;
    auto it = Headers.find(header);
    if (it != Headers.end() && it->second.Queued) return MIDIERR_STILLPLAYING;
    Headers[header] = THeaderState{h, false};
    header->dwFlags |= MHDR_PREPARED;
    return MMSYSERR_NOERROR;
  }

  MMRESULT Unprepare(THandleState* h, MIDIHDR* header, std::uint32_t size) {  // lock held
    if (!header || size != MIDIHDR_SIZE) return MMSYSERR_INVALPARAM;
    auto it = Headers.find(header);
    if (it != Headers.end()) {
      if (it->second.Queued) return MIDIERR_STILLPLAYING;
      if (it->second.Owner != h && OpenHandles.count(it->second.Owner)) return MMSYSERR_INVALPARAM;
      Headers.erase(it);
    }
    header->dwFlags &= ~MHDR_PREPARED;
    return MMSYSERR_NOERROR;
  }

  // The header must be prepared on this handle and not already queued.
  MMRESULT CheckQueueable(THandleState* h, MIDIHDR* header, std::uint32_t size) {  // lock held
    if (!header || size != MIDIHDR_SIZE) return MMSYSERR_INVALPARAM;
    auto it = Headers.find(header);
    if (it == Headers.end() || it->second.Owner != h || !(header->dwFlags & MHDR_PREPARED))
      return MIDIERR_UNPREPARED;
    if (it->second.Queued) return MIDIERR_STILLPLAYING;
    return MMSYSERR_NOERROR;
  }

  MMRESULT Open(bool input, void** slot, std::uint32_t id, MidiCallback callback,
                std::uintptr_t instance, std::uint32_t flags) {  // lock held
    if (!slot) return MMSYSERR_INVALPARAM;
    *slot = nullptr;
    THandleState** open = nullptr;
    bool removed = false;
    if (input) {
      if (id >= Inputs.size()) return MMSYSERR_BADDEVICEID;
      open = &Inputs[id].Open;
      removed = Inputs[id].Removed;
    } else {
      TOutputState* device = FindOutput(id);
      if (!device) return MMSYSERR_BADDEVICEID;
      open = &device->Open;
      removed = device->Removed;
    }
    if (removed) return MIDIERR_NODEVICE;
    if (callback ? flags != CALLBACK_FUNCTION : flags != 0)
      return flags == CALLBACK_FUNCTION ? MMSYSERR_INVALPARAM : MMSYSERR_INVALFLAG;
    if (*open) return MMSYSERR_ALLOCATED;
    auto state = std::make_unique<THandleState>();
    state->IsInput = input;
    state->Device = id;
    state->Callback = callback;
    state->Instance = instance;
    THandleState* h = state.get();
    Handles.push_back(std::move(state));
    OpenHandles.insert(h);
    *open = h;
    *slot = h;
    return MMSYSERR_NOERROR;
  }

  void Record(std::unique_lock<std::mutex>& lk, THandleState* h, TRecordedOutput&& record) {
    auto hook = Hook;
    const std::uint32_t id = h->Device;
    if (hook) {
      OutputOf(h).Log.push_back(record);
    } else {
      OutputOf(h).Log.push_back(std::move(record));
    }
    if (OutputWaiters > 0) OutputAdded.notify_all();
    lk.unlock();
    if (hook) (*hook)(id, record);
  }
};

// --- Set-up

TVirtualMidiService::TVirtualMidiService() : FImpl(std::make_unique<Impl>()) {}

TVirtualMidiService::~TVirtualMidiService() = default;

std::uint32_t TVirtualMidiService::AddInput(const TVirtualInputDevice& device) {
  std::lock_guard<std::mutex> lk(FImpl->Lock);
  FImpl->Inputs.emplace_back().Info = device;
  return static_cast<std::uint32_t>(FImpl->Inputs.size() - 1);
}

std::uint32_t TVirtualMidiService::AddOutput(const TVirtualOutputDevice& device) {
  std::lock_guard<std::mutex> lk(FImpl->Lock);
  FImpl->Outputs.emplace_back().Info = device;
  return static_cast<std::uint32_t>(FImpl->Outputs.size() - 1);
}

void TVirtualMidiService::SetMapper(std::optional<TVirtualOutputDevice> mapper) {
  std::lock_guard<std::mutex> lk(FImpl->Lock);
  TOutputState& m = FImpl->Mapper;
  m.Present = mapper.has_value();
  if (mapper) m.Info = *mapper;
  m.Removed = !m.Present && m.Open;
  // relaxed: read by the service thread only to skip work; the lock orders the rest.
  if (m.Open) m.Open->Removed.store(m.Removed, std::memory_order_relaxed);
}

void TVirtualMidiService::RemoveInput(std::uint32_t id) {
  std::lock_guard<std::mutex> lk(FImpl->Lock);
  if (id >= FImpl->Inputs.size()) return;
  TInputState& device = FImpl->Inputs[id];
  device.Removed = true;
  // relaxed: read by the service thread only to drop input early; the lock orders the rest.
  if (device.Open) device.Open->Removed.store(true, std::memory_order_relaxed);
}

void TVirtualMidiService::RemoveOutput(std::uint32_t id) {
  std::lock_guard<std::mutex> lk(FImpl->Lock);
  TOutputState* device = FImpl->FindOutput(id);
  if (!device) return;
  device->Removed = true;
  // relaxed: as in RemoveInput.
  if (device->Open) device->Open->Removed.store(true, std::memory_order_relaxed);
}

// --- Input

void TVirtualMidiService::SendShort(std::uint32_t id, std::uint32_t packed,
                                    std::optional<std::uint32_t> timeStamp) {
  const Clock::time_point now = timeStamp ? Clock::time_point{} : Clock::now();
  std::unique_lock<std::mutex> lk(FImpl->Lock);
  if (id >= FImpl->Inputs.size()) return;
  THandleState* h = FImpl->Inputs[id].Open;
  if (!h || !h->Started || FImpl->Inputs[id].Removed) return;
  TWork work;
  work.Kind = wkShort;
  work.Handle = h;
  work.Param1 = packed;
  work.Param2 = timeStamp ? *timeStamp : MillisecondsSince(h->StartTime, now);
  const bool wake = FImpl->Push(std::move(work));
  lk.unlock();
  // Woken outside the lock, so the service thread does not wake only to block on it.
  if (wake) FImpl->WorkReady.notify_one();
}

void TVirtualMidiService::SendShort(std::uint32_t id, std::uint8_t status, std::uint8_t data1,
                                    std::uint8_t data2) {
  SendShort(id, static_cast<std::uint32_t>(status) | (static_cast<std::uint32_t>(data1) << 8) |
                    (static_cast<std::uint32_t>(data2) << 16));
}

void TVirtualMidiService::SendSysex(std::uint32_t id, std::vector<std::uint8_t> bytes,
                                    bool complete, std::optional<std::uint32_t> timeStamp) {
  const Clock::time_point now = timeStamp ? Clock::time_point{} : Clock::now();
  std::lock_guard<std::mutex> lk(FImpl->Lock);
  if (id >= FImpl->Inputs.size()) return;
  THandleState* h = FImpl->Inputs[id].Open;
  if (!h || !h->Started || FImpl->Inputs[id].Removed) return;
  TWork work;
  work.Kind = wkSysex;
  work.Handle = h;
  work.Param2 = timeStamp ? *timeStamp : MillisecondsSince(h->StartTime, now);
  work.Complete = complete;
  work.Bytes = std::move(bytes);
  FImpl->Enqueue(std::move(work));
}

void TVirtualMidiService::SendRaw(std::uint32_t id, std::uint32_t msg, std::uintptr_t param1,
                                  std::uintptr_t param2) {
  std::lock_guard<std::mutex> lk(FImpl->Lock);
  if (id >= FImpl->Inputs.size()) return;
  THandleState* h = FImpl->Inputs[id].Open;
  if (!h || FImpl->Inputs[id].Removed) return;
  TWork work;
  work.Kind = wkRaw;
  work.Handle = h;
  work.Msg = msg;
  work.Param1 = param1;
  work.Param2 = param2;
  FImpl->Enqueue(std::move(work));
}

void TVirtualMidiService::WaitIdle() {
  if (FImpl->OnServiceThread()) return;  // would wait for itself
  std::unique_lock<std::mutex> lk(FImpl->Lock);
  FImpl->WaitProcessed(lk, FImpl->Enqueued);
}

// --- Output records

std::vector<TRecordedOutput> TVirtualMidiService::OutputLog(std::uint32_t id) const {
  std::lock_guard<std::mutex> lk(FImpl->Lock);
  const TOutputState* device = FImpl->FindOutput(id);
  return device ? device->Log : std::vector<TRecordedOutput>{};
}

void TVirtualMidiService::ClearOutputLog(std::uint32_t id) {
  std::lock_guard<std::mutex> lk(FImpl->Lock);
  if (TOutputState* device = FImpl->FindOutput(id)) device->Log.clear();
}

bool TVirtualMidiService::WaitOutput(std::uint32_t id, std::size_t count,
                                     std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lk(FImpl->Lock);
  if (!FImpl->FindOutput(id)) return false;
  ++FImpl->OutputWaiters;
  const bool reached = FImpl->OutputAdded.wait_for(lk, timeout, [&] {
    const TOutputState* device = FImpl->FindOutput(id);
    return device && device->Log.size() >= count;
  });
  --FImpl->OutputWaiters;
  return reached;
}

void TVirtualMidiService::SetOutputHook(
    std::function<void(std::uint32_t id, const TRecordedOutput&)> hook) {
  std::lock_guard<std::mutex> lk(FImpl->Lock);
  FImpl->Hook =
      hook ? std::make_shared<const std::function<void(std::uint32_t, const TRecordedOutput&)>>(
                 std::move(hook))
           : nullptr;
}

void TVirtualMidiService::HoldLongDone(bool hold) {
  std::lock_guard<std::mutex> lk(FImpl->Lock);
  FImpl->HoldDone = hold;
  if (hold) return;
  for (TWork& work : FImpl->HeldDone) FImpl->Enqueue(std::move(work));
  FImpl->HeldDone.clear();
}

// --- Fault injection

void TVirtualMidiService::FailCall(std::string_view operation, MMRESULT code, std::uint32_t skip,
                                   std::uint32_t times) {
  const TOperation op = OperationByName(operation);
  std::lock_guard<std::mutex> lk(FImpl->Lock);
  FImpl->Failures[op] = TFailure{code, skip, times};
}

void TVirtualMidiService::ClearFailures() {
  std::lock_guard<std::mutex> lk(FImpl->Lock);
  FImpl->Failures = {};
}

std::uint32_t TVirtualMidiService::CallCount(std::string_view operation) const {
  const TOperation op = OperationByName(operation);
  std::lock_guard<std::mutex> lk(FImpl->Lock);
  return FImpl->Counts[op];
}

// --- Live counts

std::size_t TVirtualMidiService::OpenInputs() const {
  std::lock_guard<std::mutex> lk(FImpl->Lock);
  return static_cast<std::size_t>(std::count_if(FImpl->Inputs.begin(), FImpl->Inputs.end(),
                                                [](const TInputState& d) { return d.Open; }));
}

std::size_t TVirtualMidiService::OpenOutputs() const {
  std::lock_guard<std::mutex> lk(FImpl->Lock);
  return static_cast<std::size_t>(std::count_if(FImpl->Outputs.begin(), FImpl->Outputs.end(),
                                                [](const TOutputState& d) { return d.Open; })) +
         (FImpl->Mapper.Open ? 1 : 0);
}

std::size_t TVirtualMidiService::PreparedHeaders() const {
  std::lock_guard<std::mutex> lk(FImpl->Lock);
  return FImpl->Headers.size();
}

std::size_t TVirtualMidiService::QueuedBuffers() const {
  std::lock_guard<std::mutex> lk(FImpl->Lock);
  std::size_t n = 0;
  for (const TInputState& d : FImpl->Inputs)
    if (d.Open) n += d.Open->Buffers.size();
  return n;
}

std::size_t TVirtualMidiService::LongMessagesInFlight() const {
  std::lock_guard<std::mutex> lk(FImpl->Lock);
  std::size_t n = FImpl->Mapper.Open ? FImpl->Mapper.Open->InFlight : 0;
  for (const TOutputState& d : FImpl->Outputs)
    if (d.Open) n += d.Open->InFlight;
  return n;
}

// --- Input operations

std::uint32_t TVirtualMidiService::midiInGetNumDevs() {
  std::lock_guard<std::mutex> lk(FImpl->Lock);
  if (FImpl->Enter(opInGetNumDevs)) return 0;
  return static_cast<std::uint32_t>(FImpl->Inputs.size());
}

MMRESULT TVirtualMidiService::midiInGetDevCapsA(std::uint32_t id, MIDIINCAPS* caps,
                                                std::uint32_t size) {
  std::lock_guard<std::mutex> lk(FImpl->Lock);
  if (MMRESULT r = FImpl->Enter(opInGetDevCaps)) return r;
  if (id >= FImpl->Inputs.size()) return MMSYSERR_BADDEVICEID;
  if (!caps || size != MIDIINCAPS_SIZE) return MMSYSERR_INVALPARAM;
  const TVirtualInputDevice& d = FImpl->Inputs[id].Info;
  *caps = MIDIINCAPS{d.ManufacturerID, d.ProductID, d.DriverVersion, d.Name, 0};
  return MMSYSERR_NOERROR;
}

MMRESULT TVirtualMidiService::midiInGetErrorTextA(MMRESULT code, char* text, std::uint32_t size) {
  {
    std::lock_guard<std::mutex> lk(FImpl->Lock);
    if (MMRESULT r = FImpl->Enter(opInGetErrorText)) return r;
  }
  return CopyMidiResultText(code, text, size);
}

MMRESULT TVirtualMidiService::midiInOpen(HMIDIIN* handle, std::uint32_t id, MidiCallback callback,
                                         std::uintptr_t instance, std::uint32_t flags) {
  std::lock_guard<std::mutex> lk(FImpl->Lock);
  if (MMRESULT r = FImpl->Enter(opInOpen)) {
    if (handle) *handle = nullptr;
    return r;
  }
  void* slot = nullptr;
  const MMRESULT r = FImpl->Open(true, handle ? &slot : nullptr, id, callback, instance, flags);
  if (handle) *handle = static_cast<HMIDIIN>(slot);
  return r;
}

MMRESULT TVirtualMidiService::midiInClose(HMIDIIN handle) {
  std::unique_lock<std::mutex> lk(FImpl->Lock);
  if (MMRESULT r = FImpl->Enter(opInClose)) return r;
  THandleState* h = FImpl->FindHandle(handle, true);
  if (!h) return MMSYSERR_INVALHANDLE;
  if (FImpl->Inputs[h->Device].Removed)
    FImpl->ReleaseAbandoned(h);
  else if (!h->Buffers.empty())
    return MIDIERR_STILLPLAYING;
  FImpl->CloseHandle(lk, h);
  return MMSYSERR_NOERROR;
}

MMRESULT TVirtualMidiService::midiInStart(HMIDIIN handle) {
  std::lock_guard<std::mutex> lk(FImpl->Lock);
  if (MMRESULT r = FImpl->Enter(opInStart)) return r;
  THandleState* h = FImpl->FindHandle(handle, true);
  if (!h) return MMSYSERR_INVALHANDLE;
  if (FImpl->Inputs[h->Device].Removed) return MIDIERR_NODEVICE;
  if (!h->Started) {
    h->Started = true;
    h->StartTime = Clock::now();
  }
  return MMSYSERR_NOERROR;
}

MMRESULT TVirtualMidiService::midiInStop(HMIDIIN handle) {
  std::lock_guard<std::mutex> lk(FImpl->Lock);
  if (MMRESULT r = FImpl->Enter(opInStop)) return r;
  THandleState* h = FImpl->FindHandle(handle, true);
  if (!h) return MMSYSERR_INVALHANDLE;
  if (FImpl->Inputs[h->Device].Removed) return MIDIERR_NODEVICE;
  h->Started = false;
  return MMSYSERR_NOERROR;
}

MMRESULT TVirtualMidiService::midiInReset(HMIDIIN handle) {
  std::unique_lock<std::mutex> lk(FImpl->Lock);
  if (MMRESULT r = FImpl->Enter(opInReset)) return r;
  THandleState* h = FImpl->FindHandle(handle, true);
  if (!h) return MMSYSERR_INVALHANDLE;
  if (FImpl->Inputs[h->Device].Removed) return MIDIERR_NODEVICE;
  h->Started = false;
  if (FImpl->OnServiceThread()) {
    // Called from a callback: hand the buffers back right here, after the current one.
    std::vector<TCall> calls;
    FImpl->TakeBuffersBack(h, calls);
    lk.unlock();
    for (const TCall& call : calls) Invoke(call);
    return MMSYSERR_NOERROR;
  }
  // Through the queue, so input sent before the reset is delivered before the buffers return.
  TWork work;
  work.Kind = wkReset;
  work.Handle = h;
  FImpl->Enqueue(std::move(work));
  FImpl->WaitProcessed(lk, FImpl->Enqueued);
  return MMSYSERR_NOERROR;
}

MMRESULT TVirtualMidiService::midiInPrepareHeader(HMIDIIN handle, MIDIHDR* header,
                                                  std::uint32_t size) {
  std::lock_guard<std::mutex> lk(FImpl->Lock);
  if (MMRESULT r = FImpl->Enter(opInPrepareHeader)) return r;
  THandleState* h = FImpl->FindHandle(handle, true);
  if (!h) return MMSYSERR_INVALHANDLE;
  if (FImpl->Inputs[h->Device].Removed) return MIDIERR_NODEVICE;
  return FImpl->Prepare(h, header, size);
}

MMRESULT TVirtualMidiService::midiInUnprepareHeader(HMIDIIN handle, MIDIHDR* header,
                                                    std::uint32_t size) {
  std::lock_guard<std::mutex> lk(FImpl->Lock);
  if (MMRESULT r = FImpl->Enter(opInUnprepareHeader)) return r;
  THandleState* h = FImpl->FindHandle(handle, true);
  if (!h) return MMSYSERR_INVALHANDLE;
  if (FImpl->Inputs[h->Device].Removed) return MIDIERR_NODEVICE;
  return FImpl->Unprepare(h, header, size);
}

MMRESULT TVirtualMidiService::midiInAddBuffer(HMIDIIN handle, MIDIHDR* header, std::uint32_t size) {
  std::lock_guard<std::mutex> lk(FImpl->Lock);
  if (MMRESULT r = FImpl->Enter(opInAddBuffer)) return r;
  THandleState* h = FImpl->FindHandle(handle, true);
  if (!h) return MMSYSERR_INVALHANDLE;
  if (FImpl->Inputs[h->Device].Removed) return MIDIERR_NODEVICE;
  if (MMRESULT r = FImpl->CheckQueueable(h, header, size)) return r;
  header->dwBytesRecorded = 0;
  header->dwFlags = (header->dwFlags & ~MHDR_DONE) | MHDR_INQUEUE;
  FImpl->Headers[header].Queued = true;
  h->Buffers.push_back(header);
  return MMSYSERR_NOERROR;
}

// --- Output operations

std::uint32_t TVirtualMidiService::midiOutGetNumDevs() {
  std::lock_guard<std::mutex> lk(FImpl->Lock);
  if (FImpl->Enter(opOutGetNumDevs)) return 0;
  return static_cast<std::uint32_t>(FImpl->Outputs.size());
}

MMRESULT TVirtualMidiService::midiOutGetDevCapsA(std::uint32_t id, MIDIOUTCAPS* caps,
                                                 std::uint32_t size) {
  std::lock_guard<std::mutex> lk(FImpl->Lock);
  if (MMRESULT r = FImpl->Enter(opOutGetDevCaps)) return r;
  const TOutputState* device = FImpl->FindOutput(id);
  if (!device) return MMSYSERR_BADDEVICEID;
  if (!caps || size != MIDIOUTCAPS_SIZE) return MMSYSERR_INVALPARAM;
  const TVirtualOutputDevice& d = device->Info;
  *caps = MIDIOUTCAPS{d.ManufacturerID, d.ProductID, d.DriverVersion, d.Name,   d.Technology,
                      d.Voices,         d.Notes,     d.ChannelMask,   d.Support};
  return MMSYSERR_NOERROR;
}

MMRESULT TVirtualMidiService::midiOutGetErrorTextA(MMRESULT code, char* text, std::uint32_t size) {
  {
    std::lock_guard<std::mutex> lk(FImpl->Lock);
    if (MMRESULT r = FImpl->Enter(opOutGetErrorText)) return r;
  }
  return CopyMidiResultText(code, text, size);
}

MMRESULT TVirtualMidiService::midiOutOpen(HMIDIOUT* handle, std::uint32_t id, MidiCallback callback,
                                          std::uintptr_t instance, std::uint32_t flags) {
  std::lock_guard<std::mutex> lk(FImpl->Lock);
  if (MMRESULT r = FImpl->Enter(opOutOpen)) {
    if (handle) *handle = nullptr;
    return r;
  }
  void* slot = nullptr;
  const MMRESULT r = FImpl->Open(false, handle ? &slot : nullptr, id, callback, instance, flags);
  if (handle) *handle = static_cast<HMIDIOUT>(slot);
  return r;
}

MMRESULT TVirtualMidiService::midiOutClose(HMIDIOUT handle) {
  std::unique_lock<std::mutex> lk(FImpl->Lock);
  if (MMRESULT r = FImpl->Enter(opOutClose)) return r;
  THandleState* h = FImpl->FindHandle(handle, false);
  if (!h) return MMSYSERR_INVALHANDLE;
  if (FImpl->OutputOf(h).Removed)
    FImpl->ReleaseAbandoned(h);
  else if (h->InFlight > 0)
    return MIDIERR_STILLPLAYING;
  FImpl->CloseHandle(lk, h);
  return MMSYSERR_NOERROR;
}

MMRESULT TVirtualMidiService::midiOutShortMsg(HMIDIOUT handle, std::uint32_t msg) {
  std::unique_lock<std::mutex> lk(FImpl->Lock);
  if (MMRESULT r = FImpl->Enter(opOutShortMsg)) return r;
  THandleState* h = FImpl->FindHandle(handle, false);
  if (!h) return MMSYSERR_INVALHANDLE;
  if (FImpl->OutputOf(h).Removed) return MIDIERR_NODEVICE;
  FImpl->Record(lk, h, TRecordedOutput{false, msg, {}});
  return MMSYSERR_NOERROR;
}

MMRESULT TVirtualMidiService::midiOutPrepareHeader(HMIDIOUT handle, MIDIHDR* header,
                                                   std::uint32_t size) {
  std::lock_guard<std::mutex> lk(FImpl->Lock);
  if (MMRESULT r = FImpl->Enter(opOutPrepareHeader)) return r;
  THandleState* h = FImpl->FindHandle(handle, false);
  if (!h) return MMSYSERR_INVALHANDLE;
  if (FImpl->OutputOf(h).Removed) return MIDIERR_NODEVICE;
  return FImpl->Prepare(h, header, size);
}

MMRESULT TVirtualMidiService::midiOutUnprepareHeader(HMIDIOUT handle, MIDIHDR* header,
                                                     std::uint32_t size) {
  std::lock_guard<std::mutex> lk(FImpl->Lock);
  if (MMRESULT r = FImpl->Enter(opOutUnprepareHeader)) return r;
  THandleState* h = FImpl->FindHandle(handle, false);
  if (!h) return MMSYSERR_INVALHANDLE;
  if (FImpl->OutputOf(h).Removed) return MIDIERR_NODEVICE;
  return FImpl->Unprepare(h, header, size);
}

MMRESULT TVirtualMidiService::midiOutLongMsg(HMIDIOUT handle, MIDIHDR* header, std::uint32_t size) {
  std::unique_lock<std::mutex> lk(FImpl->Lock);
  if (MMRESULT r = FImpl->Enter(opOutLongMsg)) return r;
  THandleState* h = FImpl->FindHandle(handle, false);
  if (!h) return MMSYSERR_INVALHANDLE;
  if (FImpl->OutputOf(h).Removed) return MIDIERR_NODEVICE;
  if (MMRESULT r = FImpl->CheckQueueable(h, header, size)) return r;
  if (h->InFlight >= MaxLongMessagesInFlight) return MIDIERR_NOTREADY;
  header->dwFlags = (header->dwFlags & ~MHDR_DONE) | MHDR_INQUEUE;
  FImpl->Headers[header].Queued = true;
  ++h->InFlight;
  TWork work;
  work.Kind = wkLongDone;
  work.Handle = h;
  work.Param1 = reinterpret_cast<std::uintptr_t>(header);
  if (FImpl->HoldDone)
    FImpl->HeldDone.push_back(std::move(work));
  else
    FImpl->Enqueue(std::move(work));
  TRecordedOutput record;
  record.IsLong = true;
  record.Bytes.assign(header->lpData, header->lpData + header->dwBufferLength);
  FImpl->Record(lk, h, std::move(record));
  return MMSYSERR_NOERROR;
}

MMRESULT TVirtualMidiService::midiOutGetVolume(std::uint32_t id, std::uint32_t* volume) {
  std::lock_guard<std::mutex> lk(FImpl->Lock);
  if (MMRESULT r = FImpl->Enter(opOutGetVolume)) return r;
  const TOutputState* device = FImpl->FindOutput(id);
  if (!device) return MMSYSERR_BADDEVICEID;
  if (device->Removed) return MIDIERR_NODEVICE;
  if (!(device->Info.Support & MIDICAPS_VOLUME)) return MMSYSERR_NOTSUPPORTED;
  if (!volume) return MMSYSERR_INVALPARAM;
  *volume = device->Info.Volume;
  return MMSYSERR_NOERROR;
}

MMRESULT TVirtualMidiService::midiOutSetVolume(std::uint32_t id, std::uint32_t volume) {
  std::lock_guard<std::mutex> lk(FImpl->Lock);
  if (MMRESULT r = FImpl->Enter(opOutSetVolume)) return r;
  TOutputState* device = FImpl->FindOutput(id);
  if (!device) return MMSYSERR_BADDEVICEID;
  if (device->Removed) return MIDIERR_NODEVICE;
  if (!(device->Info.Support & MIDICAPS_VOLUME)) return MMSYSERR_NOTSUPPORTED;
  device->Info.Volume = volume;
  return MMSYSERR_NOERROR;
}

MMRESULT TVirtualMidiService::midiOutCachePatches(HMIDIOUT handle, std::uint32_t,
                                                  std::uint16_t* patches, std::uint32_t) {
  std::lock_guard<std::mutex> lk(FImpl->Lock);
  if (MMRESULT r = FImpl->Enter(opOutCachePatches)) return r;
  THandleState* h = FImpl->FindHandle(handle, false);
  if (!h) return MMSYSERR_INVALHANDLE;
  const TOutputState& device = FImpl->OutputOf(h);
  if (device.Removed) return MIDIERR_NODEVICE;
  if (!(device.Info.Support & MIDICAPS_CACHE)) return MMSYSERR_NOTSUPPORTED;
  return patches ? MMSYSERR_NOERROR : MMSYSERR_INVALPARAM;
}

MMRESULT TVirtualMidiService::midiOutCacheDrumPatches(HMIDIOUT handle, std::uint32_t,
                                                      std::uint16_t* keys, std::uint32_t) {
  std::lock_guard<std::mutex> lk(FImpl->Lock);
  if (MMRESULT r = FImpl->Enter(opOutCacheDrumPatches)) return r;
  THandleState* h = FImpl->FindHandle(handle, false);
  if (!h) return MMSYSERR_INVALHANDLE;
  const TOutputState& device = FImpl->OutputOf(h);
  if (device.Removed) return MIDIERR_NODEVICE;
  if (!(device.Info.Support & MIDICAPS_CACHE)) return MMSYSERR_NOTSUPPORTED;
  return keys ? MMSYSERR_NOERROR : MMSYSERR_INVALPARAM;
}

MMRESULT TVirtualMidiService::midiOutMessage(std::uint32_t id, std::uint32_t, std::uintptr_t,
                                             std::uintptr_t) {
  std::lock_guard<std::mutex> lk(FImpl->Lock);
  if (MMRESULT r = FImpl->Enter(opOutMessage)) return r;
  const TOutputState* device = FImpl->FindOutput(id);
  if (!device) return MMSYSERR_BADDEVICEID;
  if (device->Removed) return MIDIERR_NODEVICE;
  return MMSYSERR_NOTSUPPORTED;
}

}  // namespace velora
