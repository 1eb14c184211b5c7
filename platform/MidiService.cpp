#include "platform/MidiService.h"

#include <atomic>
#include <cstring>

namespace velora {

const char* MidiResultText(MMRESULT code) {
  switch (code) {
    case MMSYSERR_NOERROR:
      return "The operation succeeded.";
    case MMSYSERR_ERROR:
      return "The MIDI service reported an unexpected failure.";
    case MMSYSERR_BADDEVICEID:
      return "There is no MIDI device with this number.";
    case MMSYSERR_NOTENABLED:
      return "The MIDI driver could not be loaded or started.";
    case MMSYSERR_ALLOCATED:
      return "The MIDI device is already in use by another program.";
    case MMSYSERR_INVALHANDLE:
      return "The MIDI device handle is not valid or is no longer open.";
    case MMSYSERR_NODRIVER:
      return "No MIDI driver is available on this system.";
    case MMSYSERR_NOMEM:
      return "There is not enough memory for this MIDI operation.";
    case MMSYSERR_NOTSUPPORTED:
      return "The MIDI device does not support this operation.";
    case MMSYSERR_BADERRNUM:
      return "The error number is not known to the MIDI service.";
    case MMSYSERR_INVALFLAG:
      return "An invalid flag was given to the MIDI service.";
    case MMSYSERR_INVALPARAM:
      return "An invalid parameter was given to the MIDI service.";
    case MMSYSERR_HANDLEBUSY:
      return "The MIDI device handle is busy on another thread.";
    case MMSYSERR_NODRIVERCB:
      return "The MIDI driver does not call back.";
    case MMSYSERR_MOREDATA:
      return "More data is waiting than the buffer could hold.";
    case MIDIERR_UNPREPARED:
      return "The MIDI buffer header has not been prepared.";
    case MIDIERR_STILLPLAYING:
      return "MIDI buffers are still queued on the device.";
    case MIDIERR_NOMAP:
      return "No MIDI map is set up.";
    case MIDIERR_NOTREADY:
      return "The MIDI port is busy; try again later.";
    case MIDIERR_NODEVICE:
      return "The MIDI device is no longer connected.";
    case MIDIERR_INVALIDSETUP:
      return "The MIDI setup is not valid.";
    case MIDIERR_BADOPENMODE:
      return "This operation is not allowed in the mode the device was opened in.";
    case MIDIERR_DONT_CONTINUE:
      return "The MIDI driver asked the service to stop.";
    default:
      return nullptr;
  }
}

MMRESULT CopyMidiResultText(MMRESULT code, char* text, std::uint32_t size) {
  if (!text || size == 0) return MMSYSERR_INVALPARAM;
  const char* source = MidiResultText(code);
  if (!source) return MMSYSERR_BADERRNUM;
  const std::size_t n = std::min<std::size_t>(std::strlen(source), size - 1);
  std::memcpy(text, source, n);
  text[n] = '\0';
  return MMSYSERR_NOERROR;
}

namespace {
MMRESULT CheckHeader(MIDIHDR* header, std::uint32_t size) {
  return (!header || size != MIDIHDR_SIZE) ? MMSYSERR_INVALPARAM : MMSYSERR_INVALHANDLE;
}
}  // namespace

MMRESULT TNullMidiService::midiInGetDevCapsA(std::uint32_t, MIDIINCAPS*, std::uint32_t) {
  return MMSYSERR_BADDEVICEID;
}
MMRESULT TNullMidiService::midiInGetErrorTextA(MMRESULT code, char* text, std::uint32_t size) {
  return CopyMidiResultText(code, text, size);
}
MMRESULT TNullMidiService::midiInOpen(HMIDIIN* handle, std::uint32_t, MidiCallback, std::uintptr_t,
                                      std::uint32_t) {
  if (handle) *handle = nullptr;
  return MMSYSERR_BADDEVICEID;
}
MMRESULT TNullMidiService::midiInPrepareHeader(HMIDIIN, MIDIHDR* h, std::uint32_t s) {
  return CheckHeader(h, s);
}
MMRESULT TNullMidiService::midiInUnprepareHeader(HMIDIIN, MIDIHDR* h, std::uint32_t s) {
  return CheckHeader(h, s);
}
MMRESULT TNullMidiService::midiInAddBuffer(HMIDIIN, MIDIHDR* h, std::uint32_t s) {
  return CheckHeader(h, s);
}
MMRESULT TNullMidiService::midiOutGetDevCapsA(std::uint32_t, MIDIOUTCAPS*, std::uint32_t) {
  return MMSYSERR_BADDEVICEID;
}
MMRESULT TNullMidiService::midiOutGetErrorTextA(MMRESULT code, char* text, std::uint32_t size) {
  return CopyMidiResultText(code, text, size);
}
MMRESULT TNullMidiService::midiOutOpen(HMIDIOUT* handle, std::uint32_t, MidiCallback,
                                       std::uintptr_t, std::uint32_t) {
  if (handle) *handle = nullptr;
  return MMSYSERR_BADDEVICEID;
}
MMRESULT TNullMidiService::midiOutPrepareHeader(HMIDIOUT, MIDIHDR* h, std::uint32_t s) {
  return CheckHeader(h, s);
}
MMRESULT TNullMidiService::midiOutUnprepareHeader(HMIDIOUT, MIDIHDR* h, std::uint32_t s) {
  return CheckHeader(h, s);
}
MMRESULT TNullMidiService::midiOutLongMsg(HMIDIOUT, MIDIHDR* h, std::uint32_t s) {
  return CheckHeader(h, s);
}
MMRESULT TNullMidiService::midiOutGetVolume(std::uint32_t, std::uint32_t*) {
  return MMSYSERR_BADDEVICEID;
}
MMRESULT TNullMidiService::midiOutSetVolume(std::uint32_t, std::uint32_t) {
  return MMSYSERR_BADDEVICEID;
}
MMRESULT TNullMidiService::midiOutCachePatches(HMIDIOUT, std::uint32_t, std::uint16_t*,
                                               std::uint32_t) {
  return MMSYSERR_INVALHANDLE;
}
MMRESULT TNullMidiService::midiOutCacheDrumPatches(HMIDIOUT, std::uint32_t, std::uint16_t*,
                                                   std::uint32_t) {
  return MMSYSERR_INVALHANDLE;
}
MMRESULT TNullMidiService::midiOutMessage(std::uint32_t, std::uint32_t, std::uintptr_t,
                                          std::uintptr_t) {
  return MMSYSERR_BADDEVICEID;
}

namespace {
TNullMidiService& NullService() {
  static TNullMidiService service;
  return service;
}
// Replaced on the main thread only; atomic so a tool's service thread reads a whole pointer.
std::atomic<TMidiService*> current{nullptr};
}  // namespace

TMidiService& CurrentMidiService() {
  // acquire: pairs with the release in SetCurrentMidiService.
  TMidiService* s = current.load(std::memory_order_acquire);
  return s ? *s : NullService();
}

TMidiService* SetCurrentMidiService(TMidiService* service) {
  // acq_rel: publishes the new service and reads the one it replaces.
  TMidiService* previous = current.exchange(service, std::memory_order_acq_rel);
  return previous;
}

std::uint32_t midiInGetNumDevs() {
  return CurrentMidiService().midiInGetNumDevs();
}
MMRESULT midiInGetDevCapsA(std::uint32_t id, MIDIINCAPS* caps, std::uint32_t size) {
  return CurrentMidiService().midiInGetDevCapsA(id, caps, size);
}
MMRESULT midiInGetErrorTextA(MMRESULT code, char* text, std::uint32_t size) {
  return CurrentMidiService().midiInGetErrorTextA(code, text, size);
}
MMRESULT midiInOpen(HMIDIIN* handle, std::uint32_t id, MidiCallback callback,
                    std::uintptr_t instance, std::uint32_t flags) {
  return CurrentMidiService().midiInOpen(handle, id, callback, instance, flags);
}
MMRESULT midiInClose(HMIDIIN handle) {
  return CurrentMidiService().midiInClose(handle);
}
MMRESULT midiInStart(HMIDIIN handle) {
  return CurrentMidiService().midiInStart(handle);
}
MMRESULT midiInStop(HMIDIIN handle) {
  return CurrentMidiService().midiInStop(handle);
}
MMRESULT midiInReset(HMIDIIN handle) {
  return CurrentMidiService().midiInReset(handle);
}
MMRESULT midiInPrepareHeader(HMIDIIN handle, MIDIHDR* header, std::uint32_t size) {
  return CurrentMidiService().midiInPrepareHeader(handle, header, size);
}
MMRESULT midiInUnprepareHeader(HMIDIIN handle, MIDIHDR* header, std::uint32_t size) {
  return CurrentMidiService().midiInUnprepareHeader(handle, header, size);
}
MMRESULT midiInAddBuffer(HMIDIIN handle, MIDIHDR* header, std::uint32_t size) {
  return CurrentMidiService().midiInAddBuffer(handle, header, size);
}
std::uint32_t midiOutGetNumDevs() {
  return CurrentMidiService().midiOutGetNumDevs();
}
MMRESULT midiOutGetDevCapsA(std::uint32_t id, MIDIOUTCAPS* caps, std::uint32_t size) {
  return CurrentMidiService().midiOutGetDevCapsA(id, caps, size);
}
MMRESULT midiOutGetErrorTextA(MMRESULT code, char* text, std::uint32_t size) {
  return CurrentMidiService().midiOutGetErrorTextA(code, text, size);
}
MMRESULT midiOutOpen(HMIDIOUT* handle, std::uint32_t id, MidiCallback callback,
                     std::uintptr_t instance, std::uint32_t flags) {
  return CurrentMidiService().midiOutOpen(handle, id, callback, instance, flags);
}
MMRESULT midiOutClose(HMIDIOUT handle) {
  return CurrentMidiService().midiOutClose(handle);
}
MMRESULT midiOutShortMsg(HMIDIOUT handle, std::uint32_t msg) {
  return CurrentMidiService().midiOutShortMsg(handle, msg);
}
MMRESULT midiOutPrepareHeader(HMIDIOUT handle, MIDIHDR* header, std::uint32_t size) {
  return CurrentMidiService().midiOutPrepareHeader(handle, header, size);
}
MMRESULT midiOutUnprepareHeader(HMIDIOUT handle, MIDIHDR* header, std::uint32_t size) {
  return CurrentMidiService().midiOutUnprepareHeader(handle, header, size);
}
MMRESULT midiOutLongMsg(HMIDIOUT handle, MIDIHDR* header, std::uint32_t size) {
  return CurrentMidiService().midiOutLongMsg(handle, header, size);
}
MMRESULT midiOutGetVolume(std::uint32_t id, std::uint32_t* volume) {
  return CurrentMidiService().midiOutGetVolume(id, volume);
}
MMRESULT midiOutSetVolume(std::uint32_t id, std::uint32_t volume) {
  return CurrentMidiService().midiOutSetVolume(id, volume);
}
MMRESULT midiOutCachePatches(HMIDIOUT handle, std::uint32_t bank, std::uint16_t* patches,
                             std::uint32_t flags) {
  return CurrentMidiService().midiOutCachePatches(handle, bank, patches, flags);
}
MMRESULT midiOutCacheDrumPatches(HMIDIOUT handle, std::uint32_t patch, std::uint16_t* keys,
                                 std::uint32_t flags) {
  return CurrentMidiService().midiOutCacheDrumPatches(handle, patch, keys, flags);
}
MMRESULT midiOutMessage(std::uint32_t id, std::uint32_t msg, std::uintptr_t param1,
                        std::uintptr_t param2) {
  return CurrentMidiService().midiOutMessage(id, msg, param1, param2);
}

}  // namespace velora
