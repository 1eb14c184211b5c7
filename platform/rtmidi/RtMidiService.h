// The MIDI service over real devices: JACK when a JACK server answers, otherwise the ALSA
// sequencer; with neither, a service without devices.
//
// Device numbers stay the same for the whole run: every port ever seen keeps the number it was
// first given; a port that vanishes keeps its number and capability record and fails to open,
// and one that returns under the same name takes its old number again. Product names are the
// full JACK port name "client:port", or on ALSA "client:port" without the numeric ids. Our own
// ports are never listed. Output number MIDI_MAPPER opens the first output port that exists.
//
// Largest system exclusive message carried:
//   JACK out: 16379 bytes, RtMidiLongMessageLimit(mbJack): RtMidi's 16 KiB output ring less
//             its length word and free byte; a longer one RtMidi would drop without a word.
//   JACK in:  what one JACK MIDI event holds, 32720 bytes with jackd2's 32 KiB port buffer;
//             split across the queued buffers.
//   ALSA out: 16356 bytes, RtMidiLongMessageLimit(mbAlsa): alsa-lib's 16 KiB output buffer
//             less the event record.
//   ALSA in:  no limit of the backend (RtMidi joins the pieces); split across the buffers.
// A longer long message is refused with MMSYSERR_INVALPARAM; a send the backend reports as
// failed returns MMSYSERR_ERROR, one to a port that has gone MIDIERR_NODEVICE, and every call
// after the JACK server has gone MMSYSERR_NODRIVER.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/MidiService.h"

namespace velora {

enum TMidiBackend : std::uint8_t { mbNone, mbJack, mbAlsa };

// The name of the output mapper: it has no colon, so no port can carry it.
extern const char* const RtMidiMapperName;
// The client name our ports carry; ports of clients of this name are never listed.
extern const char* const RtMidiClientName;

std::size_t RtMidiLongMessageLimit(TMidiBackend backend);

class TRtMidiService : public TMidiService {
 public:
  TRtMidiService();
  // Closes whatever is still open, without calling back.
  ~TRtMidiService() override;
  TRtMidiService(const TRtMidiService&) = delete;
  TRtMidiService& operator=(const TRtMidiService&) = delete;

  // The backend in use now (mbNone until the first device query finds one).
  TMidiBackend Backend() const;

  std::uint32_t midiInGetNumDevs() override;
  MMRESULT midiInGetDevCapsA(std::uint32_t id, MIDIINCAPS* caps, std::uint32_t size) override;
  MMRESULT midiInGetErrorTextA(MMRESULT code, char* text, std::uint32_t size) override;
  MMRESULT midiInOpen(HMIDIIN* handle, std::uint32_t id, MidiCallback callback,
                      std::uintptr_t instance, std::uint32_t flags) override;
  MMRESULT midiInClose(HMIDIIN handle) override;
  MMRESULT midiInStart(HMIDIIN handle) override;
  MMRESULT midiInStop(HMIDIIN handle) override;
  MMRESULT midiInReset(HMIDIIN handle) override;
  MMRESULT midiInPrepareHeader(HMIDIIN handle, MIDIHDR* header, std::uint32_t size) override;
  MMRESULT midiInUnprepareHeader(HMIDIIN handle, MIDIHDR* header, std::uint32_t size) override;
  MMRESULT midiInAddBuffer(HMIDIIN handle, MIDIHDR* header, std::uint32_t size) override;
  std::uint32_t midiOutGetNumDevs() override;
  MMRESULT midiOutGetDevCapsA(std::uint32_t id, MIDIOUTCAPS* caps, std::uint32_t size) override;
  MMRESULT midiOutGetErrorTextA(MMRESULT code, char* text, std::uint32_t size) override;
  MMRESULT midiOutOpen(HMIDIOUT* handle, std::uint32_t id, MidiCallback callback,
                       std::uintptr_t instance, std::uint32_t flags) override;
  MMRESULT midiOutClose(HMIDIOUT handle) override;
  MMRESULT midiOutShortMsg(HMIDIOUT handle, std::uint32_t msg) override;
  MMRESULT midiOutPrepareHeader(HMIDIOUT handle, MIDIHDR* header, std::uint32_t size) override;
  MMRESULT midiOutUnprepareHeader(HMIDIOUT handle, MIDIHDR* header, std::uint32_t size) override;
  MMRESULT midiOutLongMsg(HMIDIOUT handle, MIDIHDR* header, std::uint32_t size) override;
  MMRESULT midiOutGetVolume(std::uint32_t id, std::uint32_t* volume) override;
  MMRESULT midiOutSetVolume(std::uint32_t id, std::uint32_t volume) override;
  MMRESULT midiOutCachePatches(HMIDIOUT handle, std::uint32_t bank, std::uint16_t* patches,
                               std::uint32_t flags) override;
  MMRESULT midiOutCacheDrumPatches(HMIDIOUT handle, std::uint32_t patch, std::uint16_t* keys,
                                   std::uint32_t flags) override;
  MMRESULT midiOutMessage(std::uint32_t id, std::uint32_t msg, std::uintptr_t param1,
                          std::uintptr_t param2) override;

 private:
  struct Impl;
  std::unique_ptr<Impl> FImpl;
};

std::unique_ptr<TMidiService> CreateRtMidiService();

}  // namespace velora
