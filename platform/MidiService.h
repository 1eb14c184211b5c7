// The MIDI service: device counts and capabilities, opening with a function callback, input
// start/stop/reset/close, short messages, prepared buffer headers for system exclusive input
// and long output, volume, patch caching, driver messages and error texts.
//
// Every call returns 0 or a numeric result code (MMRESULT). The components call the free
// functions below, which go to the process-wide current service; tests and tools replace it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace velora {

using MMRESULT = std::uint32_t;

// Result codes.
constexpr MMRESULT MMSYSERR_NOERROR = 0;
constexpr MMRESULT MMSYSERR_ERROR = 1;
constexpr MMRESULT MMSYSERR_BADDEVICEID = 2;
constexpr MMRESULT MMSYSERR_NOTENABLED = 3;
constexpr MMRESULT MMSYSERR_ALLOCATED = 4;
constexpr MMRESULT MMSYSERR_INVALHANDLE = 5;
constexpr MMRESULT MMSYSERR_NODRIVER = 6;
constexpr MMRESULT MMSYSERR_NOMEM = 7;
constexpr MMRESULT MMSYSERR_NOTSUPPORTED = 8;
constexpr MMRESULT MMSYSERR_BADERRNUM = 9;
constexpr MMRESULT MMSYSERR_INVALFLAG = 10;
constexpr MMRESULT MMSYSERR_INVALPARAM = 11;
constexpr MMRESULT MMSYSERR_HANDLEBUSY = 12;
constexpr MMRESULT MMSYSERR_NODRIVERCB = 20;
constexpr MMRESULT MMSYSERR_MOREDATA = 21;
constexpr MMRESULT MIDIERR_UNPREPARED = 64;
constexpr MMRESULT MIDIERR_STILLPLAYING = 65;
constexpr MMRESULT MIDIERR_NOMAP = 66;
constexpr MMRESULT MIDIERR_NOTREADY = 67;
constexpr MMRESULT MIDIERR_NODEVICE = 68;
constexpr MMRESULT MIDIERR_INVALIDSETUP = 69;
constexpr MMRESULT MIDIERR_BADOPENMODE = 70;
constexpr MMRESULT MIDIERR_DONT_CONTINUE = 71;

// Our own wording for every code above; nullptr for a code without a text.
const char* MidiResultText(MMRESULT code);
// Copies the text for `code` into `text` (size bytes, zero-terminated, cut to fit).
// Returns 0, MMSYSERR_BADERRNUM for a code without a text, MMSYSERR_INVALPARAM for no buffer.
MMRESULT CopyMidiResultText(MMRESULT code, char* text, std::uint32_t size);

// Device numbers count from 0; this one is the MIDI mapper (outputs only).
constexpr std::uint32_t MIDI_MAPPER = 0xFFFFFFFF;

// Callback kind for the open calls.
constexpr std::uint32_t CALLBACK_FUNCTION = 0x30000;

// Callback message codes.
constexpr std::uint32_t MIM_OPEN = 961;
constexpr std::uint32_t MIM_CLOSE = 962;
constexpr std::uint32_t MIM_DATA = 963;
constexpr std::uint32_t MIM_LONGDATA = 964;
constexpr std::uint32_t MIM_ERROR = 965;
constexpr std::uint32_t MIM_LONGERROR = 966;
constexpr std::uint32_t MOM_OPEN = 967;
constexpr std::uint32_t MOM_CLOSE = 968;
constexpr std::uint32_t MOM_DONE = 969;

// Output technologies.
constexpr std::uint16_t MOD_MIDIPORT = 1;
constexpr std::uint16_t MOD_SYNTH = 2;
constexpr std::uint16_t MOD_SQSYNTH = 3;
constexpr std::uint16_t MOD_FMSYNTH = 4;
constexpr std::uint16_t MOD_MAPPER = 5;

// Output support flags.
constexpr std::uint32_t MIDICAPS_VOLUME = 0x0001;
constexpr std::uint32_t MIDICAPS_LRVOLUME = 0x0002;
constexpr std::uint32_t MIDICAPS_CACHE = 0x0004;
constexpr std::uint32_t MIDICAPS_STREAM = 0x0008;

// Header flags, kept by the service.
constexpr std::uint32_t MHDR_DONE = 0x1;
constexpr std::uint32_t MHDR_PREPARED = 0x2;
constexpr std::uint32_t MHDR_INQUEUE = 0x4;

// Opaque device handles; nullptr is no device.
struct HMIDIIN__;
struct HMIDIOUT__;
using HMIDIIN = HMIDIIN__*;
using HMIDIOUT = HMIDIOUT__*;

// A buffer header: 64 bytes. The service owns dwBytesRecorded and dwFlags while the header is
// queued; the rest belongs to its user.
struct MIDIHDR {
  std::uint8_t* lpData;
  std::uint32_t dwBufferLength;
  std::uint32_t dwBytesRecorded;
  std::uintptr_t dwUser;
  std::uint32_t dwFlags;
  std::uint32_t dwOffset;
  MIDIHDR* lpNext;               // free for the header's user once the service handed it back
  std::uintptr_t dwReserved[3];  // the service's own bookkeeping
};
static_assert(sizeof(MIDIHDR) == 64);
constexpr std::uint32_t MIDIHDR_SIZE = sizeof(MIDIHDR);

// Capability records. Product names are never cut short.
struct MIDIINCAPS {
  std::uint16_t wMid = 0;
  std::uint16_t wPid = 0;
  std::uint32_t vDriverVersion = 0;
  std::string szPname;
  std::uint32_t dwSupport = 0;
};
struct MIDIOUTCAPS {
  std::uint16_t wMid = 0;
  std::uint16_t wPid = 0;
  std::uint32_t vDriverVersion = 0;
  std::string szPname;
  std::uint16_t wTechnology = 0;
  std::uint16_t wVoices = 0;
  std::uint16_t wNotes = 0;
  std::uint16_t wChannelMask = 0;
  std::uint32_t dwSupport = 0;
};
// The sizes the callers pass; a record of any other size is refused with MMSYSERR_INVALPARAM.
constexpr std::uint32_t MIDIINCAPS_SIZE = 44;
constexpr std::uint32_t MIDIOUTCAPS_SIZE = 52;

// service thread: the callback. handle is the device handle, instance the value given to
// open, param1 and param2 as the message code says.
using MidiCallback = void (*)(std::uintptr_t handle, std::uint32_t msg, std::uintptr_t instance,
                              std::uintptr_t param1, std::uintptr_t param2);

// The service interface. Every operation is called on the main thread; callbacks come on a
// thread of the service. After close returns 0, no callback for that device runs or will run.
class TMidiService {
 public:
  virtual ~TMidiService() = default;

  virtual std::uint32_t midiInGetNumDevs() = 0;
  virtual MMRESULT midiInGetDevCapsA(std::uint32_t id, MIDIINCAPS* caps, std::uint32_t size) = 0;
  virtual MMRESULT midiInGetErrorTextA(MMRESULT code, char* text, std::uint32_t size) = 0;
  virtual MMRESULT midiInOpen(HMIDIIN* handle, std::uint32_t id, MidiCallback callback,
                              std::uintptr_t instance, std::uint32_t flags) = 0;
  virtual MMRESULT midiInClose(HMIDIIN handle) = 0;
  virtual MMRESULT midiInStart(HMIDIIN handle) = 0;
  virtual MMRESULT midiInStop(HMIDIIN handle) = 0;
  // Stops input and hands every queued buffer back through the callback before it returns.
  virtual MMRESULT midiInReset(HMIDIIN handle) = 0;
  virtual MMRESULT midiInPrepareHeader(HMIDIIN handle, MIDIHDR* header, std::uint32_t size) = 0;
  virtual MMRESULT midiInUnprepareHeader(HMIDIIN handle, MIDIHDR* header, std::uint32_t size) = 0;
  virtual MMRESULT midiInAddBuffer(HMIDIIN handle, MIDIHDR* header, std::uint32_t size) = 0;

  virtual std::uint32_t midiOutGetNumDevs() = 0;
  virtual MMRESULT midiOutGetDevCapsA(std::uint32_t id, MIDIOUTCAPS* caps, std::uint32_t size) = 0;
  virtual MMRESULT midiOutGetErrorTextA(MMRESULT code, char* text, std::uint32_t size) = 0;
  virtual MMRESULT midiOutOpen(HMIDIOUT* handle, std::uint32_t id, MidiCallback callback,
                               std::uintptr_t instance, std::uint32_t flags) = 0;
  virtual MMRESULT midiOutClose(HMIDIOUT handle) = 0;
  virtual MMRESULT midiOutShortMsg(HMIDIOUT handle, std::uint32_t msg) = 0;
  virtual MMRESULT midiOutPrepareHeader(HMIDIOUT handle, MIDIHDR* header, std::uint32_t size) = 0;
  virtual MMRESULT midiOutUnprepareHeader(HMIDIOUT handle, MIDIHDR* header, std::uint32_t size) = 0;
  // Completes later with MOM_DONE from a thread of the service, never inside this call.
  virtual MMRESULT midiOutLongMsg(HMIDIOUT handle, MIDIHDR* header, std::uint32_t size) = 0;
  virtual MMRESULT midiOutGetVolume(std::uint32_t id, std::uint32_t* volume) = 0;
  virtual MMRESULT midiOutSetVolume(std::uint32_t id, std::uint32_t volume) = 0;
  virtual MMRESULT midiOutCachePatches(HMIDIOUT handle, std::uint32_t bank, std::uint16_t* patches,
                                       std::uint32_t flags) = 0;
  virtual MMRESULT midiOutCacheDrumPatches(HMIDIOUT handle, std::uint32_t patch,
                                           std::uint16_t* keys, std::uint32_t flags) = 0;
  virtual MMRESULT midiOutMessage(std::uint32_t id, std::uint32_t msg, std::uintptr_t param1,
                                  std::uintptr_t param2) = 0;
};

// A service without devices: counts are 0, everything else fails with a code.
class TNullMidiService : public TMidiService {
 public:
  std::uint32_t midiInGetNumDevs() override { return 0; }
  MMRESULT midiInGetDevCapsA(std::uint32_t, MIDIINCAPS*, std::uint32_t) override;
  MMRESULT midiInGetErrorTextA(MMRESULT code, char* text, std::uint32_t size) override;
  MMRESULT midiInOpen(HMIDIIN*, std::uint32_t, MidiCallback, std::uintptr_t,
                      std::uint32_t) override;
  MMRESULT midiInClose(HMIDIIN) override { return MMSYSERR_INVALHANDLE; }
  MMRESULT midiInStart(HMIDIIN) override { return MMSYSERR_INVALHANDLE; }
  MMRESULT midiInStop(HMIDIIN) override { return MMSYSERR_INVALHANDLE; }
  MMRESULT midiInReset(HMIDIIN) override { return MMSYSERR_INVALHANDLE; }
  MMRESULT midiInPrepareHeader(HMIDIIN, MIDIHDR*, std::uint32_t) override;
  MMRESULT midiInUnprepareHeader(HMIDIIN, MIDIHDR*, std::uint32_t) override;
  MMRESULT midiInAddBuffer(HMIDIIN, MIDIHDR*, std::uint32_t) override;
  std::uint32_t midiOutGetNumDevs() override { return 0; }
  MMRESULT midiOutGetDevCapsA(std::uint32_t, MIDIOUTCAPS*, std::uint32_t) override;
  MMRESULT midiOutGetErrorTextA(MMRESULT code, char* text, std::uint32_t size) override;
  MMRESULT midiOutOpen(HMIDIOUT*, std::uint32_t, MidiCallback, std::uintptr_t,
                       std::uint32_t) override;
  MMRESULT midiOutClose(HMIDIOUT) override { return MMSYSERR_INVALHANDLE; }
  MMRESULT midiOutShortMsg(HMIDIOUT, std::uint32_t) override { return MMSYSERR_INVALHANDLE; }
  MMRESULT midiOutPrepareHeader(HMIDIOUT, MIDIHDR*, std::uint32_t) override;
  MMRESULT midiOutUnprepareHeader(HMIDIOUT, MIDIHDR*, std::uint32_t) override;
  MMRESULT midiOutLongMsg(HMIDIOUT, MIDIHDR*, std::uint32_t) override;
  MMRESULT midiOutGetVolume(std::uint32_t, std::uint32_t*) override;
  MMRESULT midiOutSetVolume(std::uint32_t, std::uint32_t) override;
  MMRESULT midiOutCachePatches(HMIDIOUT, std::uint32_t, std::uint16_t*, std::uint32_t) override;
  MMRESULT midiOutCacheDrumPatches(HMIDIOUT, std::uint32_t, std::uint16_t*, std::uint32_t) override;
  MMRESULT midiOutMessage(std::uint32_t, std::uint32_t, std::uintptr_t, std::uintptr_t) override;
};

// The process-wide current service: a TNullMidiService until one is installed.
TMidiService& CurrentMidiService();
// Installs `service` (not owned; nullptr restores the empty service). Main thread, with no
// device open. Returns the service it replaces.
TMidiService* SetCurrentMidiService(TMidiService* service);

// Installs a service for the lifetime of this object, then restores the previous one.
class TMidiServiceScope {
 public:
  explicit TMidiServiceScope(TMidiService& service) : FPrevious(SetCurrentMidiService(&service)) {}
  ~TMidiServiceScope() { SetCurrentMidiService(FPrevious); }
  TMidiServiceScope(const TMidiServiceScope&) = delete;
  TMidiServiceScope& operator=(const TMidiServiceScope&) = delete;

 private:
  TMidiService* FPrevious;
};

// The operations as the components call them, on the current service.
std::uint32_t midiInGetNumDevs();
MMRESULT midiInGetDevCapsA(std::uint32_t id, MIDIINCAPS* caps, std::uint32_t size);
MMRESULT midiInGetErrorTextA(MMRESULT code, char* text, std::uint32_t size);
MMRESULT midiInOpen(HMIDIIN* handle, std::uint32_t id, MidiCallback callback,
                    std::uintptr_t instance, std::uint32_t flags);
MMRESULT midiInClose(HMIDIIN handle);
MMRESULT midiInStart(HMIDIIN handle);
MMRESULT midiInStop(HMIDIIN handle);
MMRESULT midiInReset(HMIDIIN handle);
MMRESULT midiInPrepareHeader(HMIDIIN handle, MIDIHDR* header, std::uint32_t size);
MMRESULT midiInUnprepareHeader(HMIDIIN handle, MIDIHDR* header, std::uint32_t size);
MMRESULT midiInAddBuffer(HMIDIIN handle, MIDIHDR* header, std::uint32_t size);
std::uint32_t midiOutGetNumDevs();
MMRESULT midiOutGetDevCapsA(std::uint32_t id, MIDIOUTCAPS* caps, std::uint32_t size);
MMRESULT midiOutGetErrorTextA(MMRESULT code, char* text, std::uint32_t size);
MMRESULT midiOutOpen(HMIDIOUT* handle, std::uint32_t id, MidiCallback callback,
                     std::uintptr_t instance, std::uint32_t flags);
MMRESULT midiOutClose(HMIDIOUT handle);
MMRESULT midiOutShortMsg(HMIDIOUT handle, std::uint32_t msg);
MMRESULT midiOutPrepareHeader(HMIDIOUT handle, MIDIHDR* header, std::uint32_t size);
MMRESULT midiOutUnprepareHeader(HMIDIOUT handle, MIDIHDR* header, std::uint32_t size);
MMRESULT midiOutLongMsg(HMIDIOUT handle, MIDIHDR* header, std::uint32_t size);
MMRESULT midiOutGetVolume(std::uint32_t id, std::uint32_t* volume);
MMRESULT midiOutSetVolume(std::uint32_t id, std::uint32_t volume);
MMRESULT midiOutCachePatches(HMIDIOUT handle, std::uint32_t bank, std::uint16_t* patches,
                             std::uint32_t flags);
MMRESULT midiOutCacheDrumPatches(HMIDIOUT handle, std::uint32_t patch, std::uint16_t* keys,
                                 std::uint32_t flags);
MMRESULT midiOutMessage(std::uint32_t id, std::uint32_t msg, std::uintptr_t param1,
                        std::uintptr_t param2);

}  // namespace velora
