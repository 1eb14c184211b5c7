#include "midi/MidiOut.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <memory>
#include <new>

namespace velora {

namespace {

struct TFixedErrorText {
  TMIDIErrorContext Context;
  MMRESULT Code;
  const char* Text;
};

// Our own sentences for the failures a user of each operation most often meets; every other
// code is worded by the service.
constexpr std::array<TFixedErrorText, 15> FixedErrorTexts = {{
    {ecCaching, MMSYSERR_INVALHANDLE, "(Caching) The specified device handle is invalid."},
    {ecCaching, MMSYSERR_NOMEM,
     "(Caching) The device does not have enough memory to cache all of the requested "
     "patches."},
    {ecCaching, MMSYSERR_NOTSUPPORTED,
     "(Caching) The specified device does not support patch caching."},
    {ecCaching, MMSYSERR_INVALFLAG, "(Caching) The flag specified by wFlags is invalid."},
    {ecCaching, MMSYSERR_INVALPARAM, "(Caching) The array pointed to by lpPatchArray is invalid."},
    {ecPutShort, MMSYSERR_INVALHANDLE, "(Short Msg) The specified device handle is invalid."},
    {ecPutShort, MIDIERR_NOTREADY, "(Short Msg) The hardware is busy with other data."},
    {ecPutShort, MIDIERR_BADOPENMODE,
     "(Short Msg) The application sent a message without a status byte to a stream "
     "handle."},
    {ecPutLong, MMSYSERR_INVALHANDLE, "(Long Msg) The specified device handle is invalid."},
    {ecPutLong, MMSYSERR_INVALPARAM, "(Long Msg) The specified pointer or structure is invalid."},
    {ecPutLong, MIDIERR_UNPREPARED,
     "(Long Msg) The buffer pointed to by lpMidiOutHdr has not been prepared."},
    {ecPutLong, MIDIERR_NOTREADY, "(Long Msg) The hardware is busy with other data."},
    {ecOutPrepareHeader, MMSYSERR_INVALHANDLE,
     "(Prep Header) The specified device handle is invalid."},
    {ecOutPrepareHeader, MMSYSERR_NOMEM,
     "(Prep Header) The system is unable to allocate or lock memory."},
    {ecOutPrepareHeader, MMSYSERR_INVALPARAM,
     "(Prep Header) The specified address is invalid or the given stream buffer is "
     "greater than 64K."},
}};

constexpr std::uint32_t ErrorTextSize = 128;

std::string PlatformErrorText(MMRESULT code) {
  std::array<char, ErrorTextSize> text{};
  MMRESULT result;
  try {
    result = midiOutGetErrorTextA(code, text.data(), ErrorTextSize);
  } catch (...) {
    result = MMSYSERR_ERROR;
  }
  if (result != MMSYSERR_NOERROR) return "Specified error number is out of range";
  text.back() = '\0';  // a service that filled the whole buffer still ends here
  return std::string(text.data());
}

constexpr auto DestroyWaitLimit = std::chrono::seconds(2);
constexpr int DestroyWaitSliceMs = 20;

}  // namespace

TMidiOutput::TMidiOutput(TComponent* AOwner) : TMidiIO(AOwner) {
  FState = mosClosed;
  FCachedDeviceCount = static_cast<std::uint16_t>(midiOutGetNumDevs());
  if (!ComponentState().Contains(csDesigning)) {
    FNotifyWindow = AllocateHWnd([this](TMessage& message) { MidiOutput(message); });
    // Without a window no long message could ever be released.
    if (FNotifyWindow == 0)
      throw EMidiOutputError("No window is left for the MIDI output notifications");
  }
}

TMidiOutput::~TMidiOutput() {
  FDestroying = true;
  CloseForDestruction();
  // A device that is still open may still call back with this block: it stays allocated (as
  // do the buffers still queued there) rather than be freed under the device.
  if (FState != mosOpen) ReleaseCallbackInfo();
  if (FNotifyWindow) DeallocateHWnd(FNotifyWindow);
}

void TMidiOutput::CloseForDestruction() noexcept {
  const auto deadline = std::chrono::steady_clock::now() + DestroyWaitLimit;
  // Main thread: false once the time is up or no message can come.
  auto pumpOnce = [&]() noexcept {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (FNotifyWindow == 0 || left.count() <= 0) return false;
    try {
      WaitMessage(static_cast<int>(std::min<long long>(left.count(), DestroyWaitSliceMs)));
      ProcessMessages();
    } catch (...) {
      // Another window's handler failed; the wait goes on.
    }
    return true;
  };
  // Completions come first, while the device is still open to unprepare their buffers on.
  while (FLongMessagesPending > 0 && pumpOnce()) {
  }
  // A subclass's Close is gone by now; this class's own runs. The service refuses while
  // long messages are queued: their completions are awaited and the close retried.
  while (FState == mosOpen) {
    try {
      TMidiOutput::Close();
    } catch (...) {
    }
    if (FState == mosOpen && !pumpOnce()) break;
  }
}

void TMidiOutput::ReleaseCallbackInfo() {
  if (!FCallbackInfo) return;
  const HGLOBAL handle = FCallbackInfo->BlockHandle;
  FCallbackInfo->~TMidiCallbackInfo();
  GlobalSharedLockedFree(handle, FCallbackInfo);
  FCallbackInfo = nullptr;
}

void TMidiOutput::RaiseError(MMRESULT code, TMIDIErrorContext context) const {
  throw EMidiOutputError(MidiOutErrorString(code, context));
}

std::uint32_t TMidiOutput::DeviceCount() {
  const std::uint32_t count = midiOutGetNumDevs();
  FCachedDeviceCount = static_cast<std::uint16_t>(count);
  return count;
}

bool TMidiOutput::Open() {
  // The device in use keeps its handle and callback block; callers close first.
  if (FState == mosOpen) return false;
  bool result = false;
  try {
    if (!FCallbackInfo) {
      HGLOBAL handle = 0;
      void* block = GlobalSharedLockedAlloc(sizeof(TMidiCallbackInfo), handle);
      if (!block) {
        FError = MMSYSERR_NOMEM;
        RaiseError(FError, ecGeneric);
      }
      FCallbackInfo = new (block) TMidiCallbackInfo{};
      FCallbackInfo->BlockHandle = handle;
    }
    FCallbackInfo->NotifyWindow = FNotifyWindow;
    FError = midiOutOpen(&FDeviceHandle, FDeviceID, &midiHandler,
                         reinterpret_cast<std::uintptr_t>(FCallbackInfo), CALLBACK_FUNCTION);
    if (FError != MMSYSERR_NOERROR) RaiseError(FError, ecGeneric);
    result = true;
    FState = mosOpen;
  } catch (...) {
    FDeviceHandle = nullptr;
    ReleaseCallbackInfo();
  }
  return result;
}

bool TMidiOutput::Close() {
  bool result = false;
  if (FState == mosOpen) {
    FError = midiOutClose(FDeviceHandle);
    if (FError != MMSYSERR_NOERROR) RaiseError(FError, ecGeneric);
    result = true;
  }
  FDeviceHandle = nullptr;
  FState = mosClosed;
  return result;
}

bool TMidiOutput::ChangeDevice(std::uint32_t id, bool openAfter) {
  if (FState != mosClosed) Close();
  if (FState == mosClosed) {
    SetDeviceID(id);
    if (openAfter) return Open();
  }
  return false;
}

void TMidiOutput::PutMidiEvent(const TMyMidiEvent& event) {
  if (FState != mosOpen) throw EMidiOutputError("MIDI Output device not open");
  if (event.SysexData == nullptr)
    PutShort(event.StatusByte, event.DataByte1, event.DataByte2);
  else
    PutLong(event.SysexData, event.SysexSize);
}

void TMidiOutput::PutShort(std::uint8_t status, std::uint8_t data1, std::uint8_t data2) {
  if (FState != mosOpen) throw EMidiOutputError("(Short Msg) Device not opened.");
  const std::uint32_t packed =
      std::uint32_t{status} | (std::uint32_t{data1} << 8) | (std::uint32_t{data2} << 16);
  FError = midiOutShortMsg(FDeviceHandle, packed);
  if (FError != MMSYSERR_NOERROR) RaiseError(FError, ecPutShort);
}

void TMidiOutput::PutLong(const std::uint8_t* data, std::uint16_t length) {
  if (FState != mosOpen) throw EMidiOutputError("(Long Msg) Device not opened.");
  // An empty message: nothing to send, no error; nothing is allocated or handed over.
  if (length == 0) return;
  if (data == nullptr) {
    FError = MMSYSERR_INVALPARAM;
    RaiseError(FError, ecPutLong);
  }
  std::unique_ptr<TMyMidiHdr> buffer;
  try {
    buffer = std::make_unique<TMyMidiHdr>(length);
  } catch (const Exception&) {
    FError = MMSYSERR_NOMEM;
  } catch (const std::bad_alloc&) {
    FError = MMSYSERR_NOMEM;
  }
  if (!buffer) RaiseError(FError, ecOutPrepareHeader);
  std::memcpy(buffer->DataBuffer, data, length);
  buffer->Header->dwUser = reinterpret_cast<std::uintptr_t>(buffer.get());

  // On a refusal the buffer never reaches the service's queue and nobody else knows it: it is
  // released here, unprepared first when it was prepared.
  FError = midiOutPrepareHeader(FDeviceHandle, buffer->Header, MIDIHDR_SIZE);
  if (FError != MMSYSERR_NOERROR) RaiseError(FError, ecOutPrepareHeader);
  FError = midiOutLongMsg(FDeviceHandle, buffer->Header, MIDIHDR_SIZE);
  if (FError != MMSYSERR_NOERROR) {
    midiOutUnprepareHeader(FDeviceHandle, buffer->Header, MIDIHDR_SIZE);
    RaiseError(FError, ecPutLong);
  }
  // From here the buffer belongs to its completion message.
  buffer.release();
  ++FLongMessagesPending;
}

void TMidiOutput::NoteOff(std::uint8_t channel, std::uint8_t note, std::uint8_t velocity) {
  PutShort(static_cast<std::uint8_t>(0x80 | (channel & 0x0F)), note, velocity);
}

void TMidiOutput::NoteOn(std::uint8_t channel, std::uint8_t note, std::uint8_t velocity) {
  PutShort(static_cast<std::uint8_t>(0x90 | (channel & 0x0F)), note, velocity);
}

void TMidiOutput::NoteAftertouch(std::uint8_t channel, std::uint8_t note, std::uint8_t pressure) {
  PutShort(static_cast<std::uint8_t>(0xA0 | (channel & 0x0F)), note, pressure);
}

void TMidiOutput::ControllerChange(std::uint8_t channel, std::uint8_t controller,
                                   std::uint8_t value) {
  PutShort(static_cast<std::uint8_t>(0xB0 | (channel & 0x0F)), controller, value);
}

void TMidiOutput::ProgramChange(std::uint8_t channel, std::uint8_t program) {
  PutShort(static_cast<std::uint8_t>(0xC0 | (channel & 0x0F)), program, 0);
}

void TMidiOutput::ChangeInstrument(std::uint8_t channel, TGMInstrumentPatch patch) {
  ProgramChange(channel, static_cast<std::uint8_t>(patch));
}

void TMidiOutput::ChannelAftertouch(std::uint8_t channel, std::uint8_t pressure) {
  PutShort(static_cast<std::uint8_t>(0xD0 | (channel & 0x0F)), pressure, 0);
}

void TMidiOutput::SetDeviceID(std::uint32_t id) {
  if (FState == mosOpen) throw EMidiOutputError("Change to DeviceID while device was open");
  if (id >= midiOutGetNumDevs() && id != MIDI_MAPPER) throw EMidiOutputError("Invalid device ID");
  FDeviceID = id;
  MIDIOUTCAPS caps;
  FError = midiOutGetDevCapsA(id, &caps, MIDIOUTCAPS_SIZE);
  if (FError != MMSYSERR_NOERROR) RaiseError(FError, ecGeneric);
  FManufacturerID = caps.wMid;
  FProductID = caps.wPid;
  FProductName = caps.szPname;
  FDriverVersion = caps.vDriverVersion;
  FTechnology = static_cast<OutPortTech>(caps.wTechnology & 0xFF);
  FVoices = caps.wVoices;
  FNotes = caps.wNotes;
  FChannelMask = caps.wChannelMask;
  FSupportFlags = caps.dwSupport;
  if (FOnDeviceChanged) {
    const TNotifyEvent handler = FOnDeviceChanged;  // the handler may replace itself
    handler(this);
  }
}

bool TMidiOutput::QuerySearchCandidate(std::uint32_t id, MIDIOUTCAPS& caps) {
  FError = midiOutGetDevCapsA(id, &caps, MIDIOUTCAPS_SIZE);
  if (FError == MMSYSERR_BADDEVICEID && id == MIDI_MAPPER) return false;
  if (FError != MMSYSERR_NOERROR) RaiseError(FError, ecGeneric);
  return true;
}

void TMidiOutput::SetProductName(const std::string& name) {
  if (FState == mosOpen) throw EMidiOutputError("Change to ProductName while device was open");
  // A name stored with a description is not applied while it loads.
  if (ComponentState().Contains(csLoading)) return;
  const std::uint32_t count = midiOutGetNumDevs();
  // The mapper first, then every device: count + 1 candidates.
  std::uint32_t id = count;  // where the search ends when no device fits
  for (std::uint64_t k = 0; k <= count; ++k) {
    const auto candidate = static_cast<std::uint32_t>(k - 1);
    MIDIOUTCAPS caps;
    if (QuerySearchCandidate(candidate, caps) && caps.szPname == name) {
      FProductName = name;
      id = candidate;
      break;
    }
  }
  if (FProductName != name) throw EMidiOutputError("MIDI output Device " + name + " not installed");
  SetDeviceID(id);
}

void TMidiOutput::SetTechnology(OutPortTech tech) {
  if (FState == mosOpen)
    throw EMidiOutputError("Change to Product Technology while device was open");
  const std::uint32_t count = midiOutGetNumDevs();
  std::uint32_t id = count;
  for (std::uint64_t k = 0; k <= count; ++k) {
    const auto candidate = static_cast<std::uint32_t>(k - 1);
    MIDIOUTCAPS caps;
    if (QuerySearchCandidate(candidate, caps) && (caps.wTechnology & 0xFF) == tech) {
      FTechnology = tech;
      id = candidate;
      break;
    }
  }
  if (FTechnology != tech) {
    // A value without a member has no display name; its number stands in.
    const std::string techName =
        tech < TechName.size() ? std::string(TechName[tech]) : std::to_string(unsigned{tech});
    throw EMidiOutputError("MIDI output technology " + techName + " not installed");
  }
  SetDeviceID(id);
}

TFeatureSet TMidiOutput::GetFeaturesAsSet() const {
  TFeatureSet features;
  if (FSupportFlags & MIDICAPS_CACHE) features.Include(ftCaching);
  if (FSupportFlags & MIDICAPS_STREAM) features.Include(ftStreaming);
  if (FSupportFlags & MIDICAPS_VOLUME) features.Include(ftVolume);
  if (FSupportFlags & MIDICAPS_LRVOLUME) features.Include(ftStereoVolume);
  return features;
}

bool TMidiOutput::GetSupportsCaching() const {
  return GetFeaturesAsSet().Contains(ftCaching);
}
bool TMidiOutput::GetSupportsStreaming() const {
  return GetFeaturesAsSet().Contains(ftStreaming);
}
bool TMidiOutput::GetSupportsVolControl() const {
  return GetFeaturesAsSet().Contains(ftVolume);
}
bool TMidiOutput::GetSupportsLRVolCtrl() const {
  return GetFeaturesAsSet().Contains(ftStereoVolume);
}

void TMidiOutput::GetVolume(std::uint16_t& first, std::uint16_t& second) {
  std::uint32_t volume = 0;
  FError = midiOutGetVolume(FDeviceID, &volume);
  if (FError != MMSYSERR_NOERROR) RaiseError(FError, ecGeneric);
  first = static_cast<std::uint16_t>(volume >> 16);
  second = GetSupportsLRVolCtrl() ? static_cast<std::uint16_t>(volume & 0xFFFF) : first;
}

void TMidiOutput::GetVolume(std::uint16_t& volume) {
  volume = GetVolume();
}

std::uint16_t TMidiOutput::GetVolume() {
  std::uint16_t first = 0;
  std::uint16_t second = 0;
  GetVolume(first, second);
  return first;
}

void TMidiOutput::SetVolume(std::uint16_t first, std::uint16_t second) {
  if (!GetSupportsLRVolCtrl()) second = first;
  FError = midiOutSetVolume(FDeviceID, (std::uint32_t{first} << 16) | second);
  if (FError != MMSYSERR_NOERROR) RaiseError(FError, ecGeneric);
}

void TMidiOutput::SetVolume(std::uint16_t volume) {
  SetVolume(volume, volume);
}

bool TMidiOutput::CachePatches(std::uint32_t bank, std::uint16_t* patches, std::uint8_t flags) {
  FError = midiOutCachePatches(FDeviceHandle, bank, patches, flags);
  return FError == MMSYSERR_NOERROR;
}

bool TMidiOutput::CacheDrumPatches(std::uint32_t patch, std::uint16_t* keys, std::uint8_t flags) {
  FError = midiOutCacheDrumPatches(FDeviceHandle, patch, keys, flags);
  return FError == MMSYSERR_NOERROR;
}

MMRESULT TMidiOutput::DriverMidiMessage(std::uint32_t message, std::uintptr_t param1,
                                        std::uintptr_t param2) {
  return midiOutMessage(FDeviceID, message, param1, param2);
}

std::string TMidiOutput::MidiOutErrorString(MMRESULT code, TMIDIErrorContext context) const {
  if (context != ecGeneric) {
    for (const auto& row : FixedErrorTexts)
      if (row.Context == context && row.Code == code) return row.Text;
  }
  return PlatformErrorText(code);
}

void TMidiOutput::MidiOutput(TMessage& message) {
  switch (message.Msg) {
    case WM_MIDIOUTDONE: {
      auto* header = reinterpret_cast<MIDIHDR*>(message.LParam);
      if (!header) return;
      auto* buffer = reinterpret_cast<TMyMidiHdr*>(header->dwUser);
      // After a close there is no handle to unprepare with; the buffer goes all the same.
      if (FDeviceHandle) midiOutUnprepareHeader(FDeviceHandle, header, MIDIHDR_SIZE);
      delete buffer;
      if (FLongMessagesPending > 0) --FLongMessagesPending;
      if (FOnMidiOutput && !FDestroying) {
        const TNotifyEvent handler = FOnMidiOutput;  // the handler may replace itself
        handler(this);
      }
      return;
    }
    case WM_QUERYENDSESSION:
      message.Result = 1;
      return;
    default:
      return;
  }
}

void TMidiOutput::DefineProperties(std::vector<TPropertyInfo>& list) const {
  TMidiIO::DefineProperties(list);
  list.push_back(
      {"ProductName",
       [](const TComponent& c) { return static_cast<const TMidiOutput&>(c).FProductName; },
       [](TComponent& c, const std::string& v) { static_cast<TMidiOutput&>(c).SetProductName(v); },
       std::nullopt,
       {}});
  list.push_back({"DeviceID",
                  [](const TComponent& c) {
                    return std::to_string(static_cast<const TMidiOutput&>(c).FDeviceID);
                  },
                  [](TComponent& c, const std::string& v) {
                    static_cast<TMidiOutput&>(c).SetDeviceID(
                        ParseUnsigned(v, "DeviceID", 0xFFFFFFFF));
                  },
                  std::string("0"),
                  {}});
  list.push_back({"OnMidiOutput",
                  [](const TComponent&) { return std::string(); },
                  {},
                  std::nullopt,
                  [](TComponent& c, TNotifyEvent handler) {
                    static_cast<TMidiOutput&>(c).SetOnMidiOutput(std::move(handler));
                  }});
  list.push_back({"OnDeviceChanged",
                  [](const TComponent&) { return std::string(); },
                  {},
                  std::nullopt,
                  [](TComponent& c, TNotifyEvent handler) {
                    static_cast<TMidiOutput&>(c).SetOnDeviceChanged(std::move(handler));
                  }});
}

}  // namespace velora
