#include "midi/MidiIn.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace velora {

namespace {

constexpr const char* kNoMemory = "Not enough memory to open the MIDI input device";

std::uint16_t Low16(MMRESULT result) {
  return static_cast<std::uint16_t>(result & 0xFFFF);
}

// Main thread: puts a chain of headers (linked through lpNext) back on the dropped stack.
void PushDropped(TMidiCallbackInfo& info, MIDIHDR* first) {
  MIDIHDR* last = first;
  while (last->lpNext) last = last->lpNext;
  // relaxed: only a first guess at the head; the exchange below publishes.
  MIDIHDR* head = info.DroppedSysex.load(std::memory_order_relaxed);
  do {
    last->lpNext = head;
    // release: the chain's links are written before a later taker walks them; relaxed on
    // failure: the head read back is only the next guess.
  } while (!info.DroppedSysex.compare_exchange_weak(head, first, std::memory_order_release,
                                                    std::memory_order_relaxed));
}

}  // namespace

TMidiInput::TMidiInput(TComponent* AOwner) : TMidiIO(AOwner) {
  FState = misCreating;
  FSysexOnly = false;
  FCachedDeviceCount = midiInGetNumDevs();
  FHeaderList.clear();
  FDeviceHandle = nullptr;
  if (FCachedDeviceCount > 0) SetDeviceID(0);
  FCapacity = 1024;
  FSysexBufferSize = 4096;
  FSysexBufferCount = 16;
  if (!ComponentState().Contains(csDesigning)) {
    FNotifyWindow = AllocateHWnd([this](TMessage& message) { MidiInput(message); });
    // Without a window every notification of the callback would be lost.
    if (FNotifyWindow == 0) throw EMidiInputError("No window is left for the MIDI input component");
  }
  FCallbackInfo = nullptr;
  FFilteredMessages = TMidiMsgFilter{msgActiveSensing, msgMidiTimeCode};
  FState = misClosed;
}

TMidiInput::~TMidiInput() {
  if (FDeviceHandle) {
    FState = misClosed;
    try {
      ShutDevice();
    } catch (...) {
    }
  }
  if (FDeviceHandle) {
    // The device refused to close and may still fill these buffers and call back with this
    // block and ring: leaking them is safer than freeing memory it can still write.
    for (auto& header : FHeaderList) static_cast<void>(header.release());
    FHeaderList.clear();
    FRing = nullptr;
    FCallbackInfo = nullptr;
  } else {
    FHeaderList.clear();
    CircbufFree(FRing);
    FRing = nullptr;
    FreeCallbackInfo();
  }
  if (FNotifyWindow) DeallocateHWnd(FNotifyWindow);
}

std::uint32_t TMidiInput::DeviceCount() {
  FCachedDeviceCount = midiInGetNumDevs();
  return FCachedDeviceCount;
}

void TMidiInput::Check(MMRESULT result) {
  FError = Low16(result);
  if (result != MMSYSERR_NOERROR) throw EMidiInputError(MidiInErrorString(FError));
}

std::string TMidiInput::MidiInErrorString(std::uint16_t code) {
  char text[128] = {};
  if (midiInGetErrorTextA(code, text, sizeof text) == MMSYSERR_NOERROR)
    return std::string(text, strnlen(text, sizeof text));
  return "Specified error number is out of range";
}

void TMidiInput::SetDeviceID(std::uint32_t id) {
  if (FState == misOpen) throw EMidiInputError("Change to DeviceID while device was open");
  if (id >= midiInGetNumDevs() && id != MIDI_MAPPER) throw EMidiInputError("Invalid device ID");
  FDeviceID = id;
  MIDIINCAPS caps;
  Check(midiInGetDevCapsA(id, &caps, MIDIINCAPS_SIZE));
  FProductName = caps.szPname;
  FDriverVersion = caps.vDriverVersion;
  FManufacturerID = caps.wMid;
  FProductID = caps.wPid;
  if (FOnDeviceChanged) {
    const TNotifyEvent handler = FOnDeviceChanged;  // the handler may replace itself
    handler(this);
  }
}

void TMidiInput::SetProductName(const std::string& name) {
  if (FState == misOpen) throw EMidiInputError("Change to ProductName while device was open");
  // A stored name must not override the device chosen on this machine.
  if (ComponentState().Contains(csLoading)) return;
  const std::uint32_t count = midiInGetNumDevs();
  std::uint32_t i = 0;
  for (; i < count; ++i) {
    MIDIINCAPS caps;
    Check(midiInGetDevCapsA(i, &caps, MIDIINCAPS_SIZE));
    if (caps.szPname == name) {
      FProductName = name;
      break;
    }
  }
  if (FProductName != name) throw EMidiInputError("MIDI Input Device " + name + " not installed ");
  SetDeviceID(i);
}

void TMidiInput::SetSysexBufferSize(std::uint16_t value) {
  if (FState == misOpen) throw EMidiInputError("Change to SysexBufferSize while device was open");
  FSysexBufferSize = value;
}

void TMidiInput::SetSysexBufferCount(std::uint16_t value) {
  if (FState == misOpen) throw EMidiInputError("Change to SysexBufferCount while device was open");
  FSysexBufferCount = value;
}

void TMidiInput::SetSysexOnly(bool value) {
  FSysexOnly = value;
  // relaxed: publishes only this byte; the callback applies it from its next message on.
  if (FCallbackInfo) FCallbackInfo->SysexOnlyFlag.store(value ? 1 : 0, std::memory_order_relaxed);
}

void TMidiInput::SetMsgFilter(TMidiMsgFilter value) {
  FFilteredMessages = value;
  if (!FCallbackInfo) return;
  // relaxed: publishes only this byte; the callback applies it from its next message on.
  FCallbackInfo->DropTimingClock.store(value.Contains(msgMidiTimeCode) ? 1 : 0,
                                       std::memory_order_relaxed);
  // relaxed: publishes only this byte, as above.
  FCallbackInfo->DropActiveSensing.store(value.Contains(msgActiveSensing) ? 1 : 0,
                                         std::memory_order_relaxed);
}

void TMidiInput::Open() {
  if (FState == misOpen) throw EMidiInputError("MIDI input device is already open");
  // A device that refused an earlier Close is finished off before another is opened.
  if (FDeviceHandle) Close();
  if (FCapacity == 0 || FCapacity > CircbufMaxCapacity)
    throw EMidiInputError("Capacity must be between 1 and " + std::to_string(CircbufMaxCapacity));
  try {
    if (!FRing) {
      FRing = CircbufAlloc(FCapacity);
      if (!FRing) throw EMidiInputError(kNoMemory);
    }
    if (!FCallbackInfo) {
      HGLOBAL handle = 0;
      void* block = GlobalSharedLockedAlloc(sizeof(TMidiCallbackInfo), handle);
      if (!block) throw EMidiInputError(kNoMemory);
      FCallbackInfo = new (block) TMidiCallbackInfo{};
      FCallbackInfo->BlockHandle = handle;
    }
    FCallbackInfo->Ring = FRing;
    FCallbackInfo->NotifyWindow = FNotifyWindow;
    // relaxed: no device is open yet; midiInOpen publishes the whole block.
    FCallbackInfo->DroppedSysex.store(nullptr, std::memory_order_relaxed);
    SetSysexOnly(FSysexOnly);
    SetMsgFilter(FFilteredMessages);

    FDeviceHandle = nullptr;
    const MMRESULT result =
        midiInOpen(&FDeviceHandle, FDeviceID, midiHandler,
                   reinterpret_cast<std::uintptr_t>(FCallbackInfo), CALLBACK_FUNCTION);
    if (result != MMSYSERR_NOERROR) FDeviceHandle = nullptr;
    Check(result);
    Prepareheaders();
    AddBuffers();
    FState = misOpen;
  } catch (...) {
    if (FDeviceHandle) {
      try {
        ShutDevice();
      } catch (...) {
      }
    }
    // Still open: the device may call back, so its memory stays for a later Close.
    if (!FDeviceHandle) {
      FHeaderList.clear();
      CircbufFree(FRing);
      FRing = nullptr;
      FreeCallbackInfo();
    }
    throw;
  }
}

void TMidiInput::Prepareheaders() {
  if (FSysexBufferCount == 0 || FSysexBufferSize == 0 || !FDeviceHandle) return;
  FHeaderList.clear();
  FHeaderList.reserve(FSysexBufferCount);  // so that appending a prepared header cannot fail
  for (std::uint16_t i = 0; i < FSysexBufferCount; ++i) {
    std::unique_ptr<TMyMidiHdr> header;
    try {
      header = std::make_unique<TMyMidiHdr>(FSysexBufferSize);
    } catch (const EMidiInputError&) {
      throw;
    } catch (const Exception& e) {
      throw EMidiInputError(e.Message());
    }
    header->Header->dwUser = reinterpret_cast<std::uintptr_t>(header.get());
    Check(midiInPrepareHeader(FDeviceHandle, header->Header, MIDIHDR_SIZE));
    FHeaderList.push_back(std::move(header));
  }
}

void TMidiInput::AddBuffers() {
  for (const auto& header : FHeaderList)
    Check(midiInAddBuffer(FDeviceHandle, header->Header, MIDIHDR_SIZE));
}

void TMidiInput::UnprepareHeaders() {
  std::size_t done = 0;
  MMRESULT result = MMSYSERR_NOERROR;
  for (; done < FHeaderList.size(); ++done) {
    result = midiInUnprepareHeader(FDeviceHandle, FHeaderList[done]->Header, MIDIHDR_SIZE);
    FError = Low16(result);
    if (result != MMSYSERR_NOERROR) break;
  }
  // The headers the device gave up go now; a refused one and those after it stay for a retry.
  FHeaderList.erase(FHeaderList.begin(), FHeaderList.begin() + static_cast<std::ptrdiff_t>(done));
  if (FHeaderList.empty()) std::vector<std::unique_ptr<TMyMidiHdr>>().swap(FHeaderList);
  if (result != MMSYSERR_NOERROR) throw EMidiInputError(MidiInErrorString(FError));
}

MMRESULT TMidiInput::ShutDevice() {
  if (!FDeviceHandle) return MMSYSERR_NOERROR;
  MMRESULT failure = midiInReset(FDeviceHandle);
  FError = Low16(failure);
  // A device that went away refuses reset and unprepare for good, but can still be closed,
  // after which the service holds none of our buffers: close it rather than keep it forever.
  const bool vanished = failure == MIDIERR_NODEVICE;
  if (failure != MMSYSERR_NOERROR && !vanished) return failure;
  if (FCallbackInfo) {
    // acquire: pairs with the callback's release push; the headers are ours again after reset.
    FCallbackInfo->DroppedSysex.exchange(nullptr, std::memory_order_acquire);
  }
  if (!vanished) {
    try {
      UnprepareHeaders();
    } catch (const EMidiInputError&) {
      if (FError != MIDIERR_NODEVICE) return FError;
      failure = FError;
    }
  }
  const MMRESULT result = midiInClose(FDeviceHandle);
  FError = Low16(result);
  if (result != MMSYSERR_NOERROR) return failure != MMSYSERR_NOERROR ? failure : result;
  FDeviceHandle = nullptr;
  std::vector<std::unique_ptr<TMyMidiHdr>>().swap(FHeaderList);
  if (FCallbackInfo) FCallbackInfo->Ring = nullptr;
  CircbufFree(FRing);
  FRing = nullptr;
  if (failure != MMSYSERR_NOERROR) FError = Low16(failure);
  return failure;
}

void TMidiInput::FreeCallbackInfo() {
  if (!FCallbackInfo) return;
  const HGLOBAL handle = FCallbackInfo->BlockHandle;
  FCallbackInfo->~TMidiCallbackInfo();
  GlobalSharedLockedFree(handle, FCallbackInfo);
  FCallbackInfo = nullptr;
}

void TMidiInput::Start() {
  if (FState == misOpen) Check(midiInStart(FDeviceHandle));
}

void TMidiInput::Stop() {
  if (FState == misOpen) Check(midiInStop(FDeviceHandle));
}

void TMidiInput::Close() {
  // A handle without misOpen is a device that refused an earlier Close: try again.
  if (FState != misOpen && !FDeviceHandle) return;
  FState = misClosed;  // first, so that notifications still arriving are ignored
  if (ShutDevice() != MMSYSERR_NOERROR) throw EMidiInputError(MidiInErrorString(FError));
}

void TMidiInput::OpenAndStart() {
  Open();
  Start();
}

void TMidiInput::StopAndClose() {
  Stop();
  Close();
}

void TMidiInput::ChangeDevice(std::uint32_t id, bool openAfter) {
  if (id == FDeviceID) return;
  Stop();
  Close();
  SetDeviceID(id);
  if (openAfter) {
    Open();
    Start();
  }
}

std::uint16_t TMidiInput::GetEventCount() {
  if (FState != misOpen) return 0;
  // acquire: the entries counted are complete before they are read.
  return FRing->EventCount.load(std::memory_order_acquire);
}

MMRESULT TMidiInput::RequeueDroppedSysex() {
  if (!FCallbackInfo || !FDeviceHandle) return MMSYSERR_NOERROR;
  // acquire: pairs with the release push, so each header's link is visible.
  MIDIHDR* header = FCallbackInfo->DroppedSysex.exchange(nullptr, std::memory_order_acquire);
  while (header) {
    MIDIHDR* next = header->lpNext;
    header->lpNext = nullptr;
    header->dwBytesRecorded = 0;
    MMRESULT result = midiInPrepareHeader(FDeviceHandle, header, MIDIHDR_SIZE);
    if (result == MMSYSERR_NOERROR) result = midiInAddBuffer(FDeviceHandle, header, MIDIHDR_SIZE);
    FError = Low16(result);
    if (result != MMSYSERR_NOERROR) {
      header->lpNext = next;
      PushDropped(*FCallbackInfo, header);
      return result;
    }
    header = next;
  }
  return MMSYSERR_NOERROR;
}

TMyMidiEvent* TMidiInput::GetMidiEvent() {
  if (FState != misOpen) return nullptr;
  // A refusal here must not hold up the entries that wait: the refused headers stay on the
  // stack for the next attempt.
  RequeueDroppedSysex();
  TMidiBufferItem item;
  if (!CircbufReadEvent(FRing, item)) return nullptr;
  auto event = std::make_unique<TMyMidiEvent>();
  event->TimeStamp = item.TimeStamp;
  if (!item.SysexHeader) {
    event->StatusByte = static_cast<std::uint8_t>(item.PackedMessage & 0xFF);
    event->DataByte1 = static_cast<std::uint8_t>((item.PackedMessage >> 8) & 0xFF);
    event->DataByte2 = static_cast<std::uint8_t>((item.PackedMessage >> 16) & 0xFF);
  } else {
    MIDIHDR* header = item.SysexHeader;
    event->StatusByte = 0xF0;
    const std::uint32_t recorded = header->dwBytesRecorded;
    // Never copy past the buffer, whatever the device claims to have recorded.
    event->SysexSize =
        static_cast<std::uint16_t>(std::min(recorded, header->dwBufferLength) & 0xFFFF);
    if (event->SysexSize != 0) {
      event->SysexData = new std::uint8_t[event->SysexSize];
      std::memcpy(event->SysexData, header->lpData, event->SysexSize);
    }
    // Zeroed before the hand-back because the device owns the count once the buffer is
    // queued; restored when the device refuses, so that a retry delivers the same bytes.
    header->dwBytesRecorded = 0;
    MMRESULT result = midiInPrepareHeader(FDeviceHandle, header, MIDIHDR_SIZE);
    FError = Low16(result);
    if (result == MMSYSERR_NOERROR) {
      result = midiInAddBuffer(FDeviceHandle, header, MIDIHDR_SIZE);
      FError = Low16(result);
    }
    if (result != MMSYSERR_NOERROR) {
      header->dwBytesRecorded = recorded;
      throw EMidiInputError(MidiInErrorString(FError));
    }
  }
  CircbufRemoveEvent(FRing);
  return event.release();
}

void TMidiInput::FlushQueue() {
  while (GetEventCount() > 0) delete GetMidiEvent();
}

void TMidiInput::MidiInput(TMessage& message) {
  switch (message.Msg) {
    case WM_QUERYENDSESSION:
      message.Result = 1;
      break;
    case WM_MIDIDATA:
      if (FOnMidiInput && FState == misOpen && GetEventCount() > 0) {
        const TNotifyEvent handler = FOnMidiInput;  // the handler may replace itself
        handler(this);
      }
      break;
    case WM_RINGOVERFLOW:
      if (FState != misOpen) break;
      // A refusal stays recorded in Error; the headers wait for the next GetMidiEvent.
      RequeueDroppedSysex();
      if (FOnOverflow) {
        const TNotifyEvent handler = FOnOverflow;
        handler(this);
      }
      break;
    default:
      break;
  }
}

void TMidiInput::DefineProperties(std::vector<TPropertyInfo>& list) const {
  TMidiIO::DefineProperties(list);
  auto self = [](const TComponent& c) -> const TMidiInput& {
    return static_cast<const TMidiInput&>(c);
  };
  auto edit = [](TComponent& c) -> TMidiInput& { return static_cast<TMidiInput&>(c); };
  auto handlerName = [](const char* name) {
    return [name](const TComponent& c) { return c.GetPropertyText(name); };
  };

  list.push_back({"ProductName",
                  [=](const TComponent& c) { return self(c).ProductName(); },
                  [=](TComponent& c, const std::string& v) { edit(c).SetProductName(v); },
                  std::nullopt,
                  {}});
  list.push_back({"DeviceID",
                  [=](const TComponent& c) { return std::to_string(self(c).DeviceID()); },
                  [=](TComponent& c, const std::string& v) {
                    edit(c).SetDeviceID(ParseUnsigned(v, "DeviceID", 0xFFFFFFFF));
                  },
                  std::string("0"),
                  {}});
  list.push_back({"Capacity",
                  [=](const TComponent& c) { return std::to_string(self(c).Capacity()); },
                  [=](TComponent& c, const std::string& v) {
                    edit(c).SetCapacity(
                        static_cast<std::uint16_t>(ParseUnsigned(v, "Capacity", 0xFFFF)));
                  },
                  std::string("1024"),
                  {}});
  list.push_back({"Error",
                  [=](const TComponent& c) { return std::to_string(self(c).Error()); },
                  {},
                  std::nullopt,
                  {}});
  list.push_back({"SysexBufferSize",
                  [=](const TComponent& c) { return std::to_string(self(c).SysexBufferSize()); },
                  [=](TComponent& c, const std::string& v) {
                    edit(c).SetSysexBufferSize(
                        static_cast<std::uint16_t>(ParseUnsigned(v, "SysexBufferSize", 0xFFFF)));
                  },
                  std::string("10000"),
                  {}});
  list.push_back({"SysexBufferCount",
                  [=](const TComponent& c) { return std::to_string(self(c).SysexBufferCount()); },
                  [=](TComponent& c, const std::string& v) {
                    edit(c).SetSysexBufferCount(
                        static_cast<std::uint16_t>(ParseUnsigned(v, "SysexBufferCount", 0xFFFF)));
                  },
                  std::string("16"),
                  {}});
  list.push_back({"SysexOnly",
                  [=](const TComponent& c) { return BooleanText(self(c).SysexOnly()); },
                  [=](TComponent& c, const std::string& v) {
                    edit(c).SetSysexOnly(ParseBoolean(v, "SysexOnly"));
                  },
                  std::string("False"),
                  {}});
  list.push_back({"FilteredMessages",
                  [=](const TComponent& c) { return SetToText(self(c).FilteredMessages()); },
                  [=](TComponent& c, const std::string& v) {
                    const auto set = SetFromText<TMidiMsg, std::uint8_t>(v);
                    if (!set)
                      throw Exception("'" + v + "' is not a valid value for FilteredMessages");
                    edit(c).SetMsgFilter(*set);
                  },
                  std::nullopt,
                  {}});
  list.push_back({"OnMidiInput",
                  handlerName("OnMidiInput"),
                  {},
                  std::nullopt,
                  [=](TComponent& c, TNotifyEvent e) { edit(c).SetOnMidiInput(std::move(e)); }});
  list.push_back({"OnOverflow",
                  handlerName("OnOverflow"),
                  {},
                  std::nullopt,
                  [=](TComponent& c, TNotifyEvent e) { edit(c).SetOnOverflow(std::move(e)); }});
  list.push_back(
      {"OnDeviceChanged",
       handlerName("OnDeviceChanged"),
       {},
       std::nullopt,
       [=](TComponent& c, TNotifyEvent e) { edit(c).SetOnDeviceChanged(std::move(e)); }});
}

}  // namespace velora
