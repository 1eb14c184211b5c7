// An in-process MIDI service for tests, demos and fault injection. Devices are made by the
// test; input is delivered from the service's own thread; output is recorded; any operation
// can be made to fail with a chosen code; a device can disappear while open. The service
// enforces the platform's state rules, so a wrong order of steps fails.
//
// Opening takes flags CALLBACK_FUNCTION with a callback, or 0 without one; the service sends
// no open or close notifications (MIM_OPEN, MOM_CLOSE, ...), only data, buffers and done.
// A header must carry its data pointer: preparing one without gives MMSYSERR_INVALPARAM.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/MidiService.h"

namespace velora {

struct TVirtualInputDevice {
  std::string Name;
  std::uint16_t ManufacturerID = 0;
  std::uint16_t ProductID = 0;
  std::uint32_t DriverVersion = 0;
};

struct TVirtualOutputDevice {
  std::string Name;
  std::uint16_t ManufacturerID = 0;
  std::uint16_t ProductID = 0;
  std::uint32_t DriverVersion = 0;
  std::uint16_t Technology = MOD_MIDIPORT;
  std::uint16_t Voices = 0;
  std::uint16_t Notes = 0;
  std::uint16_t ChannelMask = 0xFFFF;
  std::uint32_t Support = 0;
  std::uint32_t Volume = 0xFFFFFFFF;
};

// One message that an output device received.
struct TRecordedOutput {
  bool IsLong = false;
  std::uint32_t Short = 0;          // the packed short message as passed
  std::vector<std::uint8_t> Bytes;  // the long message's bytes
};

class TVirtualMidiService : public TMidiService {
 public:
  TVirtualMidiService();
  ~TVirtualMidiService() override;  // closes nothing: the test must close its devices first

  // --- Set-up, main thread. Device numbers are given in order from 0 and never reused.
  std::uint32_t AddInput(const TVirtualInputDevice& device);
  std::uint32_t AddOutput(const TVirtualOutputDevice& device);
  // The mapper answers as output number MIDI_MAPPER; without one that number is refused (2).
  void SetMapper(std::optional<TVirtualOutputDevice> mapper);
  // The device disappears: its number stays, opening it and every call on an open handle
  // except close fail with MIDIERR_NODEVICE; close still succeeds and frees the handle.
  // Capabilities are still answered; volume and driver messages by number fail with
  // MIDIERR_NODEVICE. Input not yet delivered is dropped; long messages already accepted still
  // get their MOM_DONE until close. Closing a removed device hands its queued buffers and long
  // messages back without a callback (MHDR_DONE set) and forgets its prepared headers.
  void RemoveInput(std::uint32_t id);
  void RemoveOutput(std::uint32_t id);

  // --- Input, any thread. Queued to the service thread, which delivers them to the open and
  // started device in order; input while the device is closed or stopped is dropped.
  // The time stamp is ms since midiInStart unless given. Whether input is taken is decided
  // when it is sent: taken input is delivered even if the device stops meanwhile, never after
  // its close returned.
  void SendShort(std::uint32_t id, std::uint32_t packed,
                 std::optional<std::uint32_t> timeStamp = std::nullopt);
  void SendShort(std::uint32_t id, std::uint8_t status, std::uint8_t data1, std::uint8_t data2);
  // Fills the added buffers in order, spanning as many as it needs (MIM_LONGDATA each); bytes
  // that find no queued buffer are dropped; an empty message returns one buffer, empty.
  // complete=false, or bytes dropped for want of buffers, end the last buffer with
  // MIM_LONGERROR.
  void SendSysex(std::uint32_t id, std::vector<std::uint8_t> bytes, bool complete = true,
                 std::optional<std::uint32_t> timeStamp = std::nullopt);
  // Calls the open device's callback with any code and parameters (for relay tests); the
  // device need not be started.
  void SendRaw(std::uint32_t id, std::uint32_t msg, std::uintptr_t param1, std::uintptr_t param2);
  // Waits until the service thread has delivered everything queued before this call.
  // midiInReset also waits so, then hands the queued buffers back before it returns.
  void WaitIdle();

  // --- Output records, any thread.
  std::vector<TRecordedOutput> OutputLog(std::uint32_t id) const;
  void ClearOutputLog(std::uint32_t id);
  // Waits until the device's log holds at least `count` entries; false on time-out.
  bool WaitOutput(std::uint32_t id, std::size_t count, std::chrono::milliseconds timeout);
  // Called on the caller's thread for each message an output receives (for benchmarks),
  // outside the service's lock and after the message is in the log.
  void SetOutputHook(std::function<void(std::uint32_t id, const TRecordedOutput&)> hook);
  // While held, long messages are recorded but their MOM_DONE is kept back.
  void HoldLongDone(bool hold);

  // --- Fault injection, main thread. `operation` is a method name ("midiInOpen", ...):
  // after `skip` more successful calls, the next `times` calls return `code` and do nothing.
  // A failed device count reads 0; a failed open sets the handle to nullptr. One rule per
  // operation: a later FailCall replaces it. An unknown name throws std::invalid_argument.
  void FailCall(std::string_view operation, MMRESULT code, std::uint32_t skip = 0,
                std::uint32_t times = 1);
  void ClearFailures();
  // Calls made to `operation` since the service was made.
  std::uint32_t CallCount(std::string_view operation) const;

  // --- Live counts, any thread.
  std::size_t OpenInputs() const;
  std::size_t OpenOutputs() const;
  // Input and output headers now prepared. A header still prepared when its handle closes
  // stays counted (a leak a test should see), except on a removed device.
  std::size_t PreparedHeaders() const;
  std::size_t QueuedBuffers() const;         // input buffers now added and not handed back
  std::size_t LongMessagesInFlight() const;  // at most 4096 per device (MIDIERR_NOTREADY)

  // --- TMidiService
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

}  // namespace velora
