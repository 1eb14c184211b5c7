// The MIDI output component: selects an output device by number, name or technology, opens
// and closes it, sends short and long (system exclusive) messages, and turns the service's
// failure codes into words.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "midi/Midicallback.h"
#include "midi/MidiType.h"
#include "platform/Component.h"
#include "platform/MessageWindow.h"
#include "platform/MidiService.h"
#include "platform/Sets.h"
#include "platform/SysUtils.h"

namespace velora {

// Every failure of the output component.
class EMidiOutputError : public Exception {
 public:
  using Exception::Exception;
};

// The open state has ordinal 0: a zero-filled component would read as open.
enum MidiOutputState : std::uint8_t { mosOpen, mosClosed };
template <>
struct TEnumInfo<MidiOutputState> {
  static constexpr std::array<std::string_view, 2> Names = {"mosOpen", "mosClosed"};
};

// Ordinals 1..5 are the service's technology codes. A device may report a code above 5,
// which is kept as a value without a member.
enum OutPortTech : std::uint8_t {
  opt_None,
  opt_MidiPort,
  opt_Synth,
  opt_SQSynth,
  opt_FMSynth,
  opt_Mapper,
};
template <>
struct TEnumInfo<OutPortTech> {
  static constexpr std::array<std::string_view, 6> Names = {
      "opt_None", "opt_MidiPort", "opt_Synth", "opt_SQSynth", "opt_FMSynth", "opt_Mapper"};
};
static_assert(sizeof(MidiOutputState) == 1 && sizeof(OutPortTech) == 1);
static_assert(opt_MidiPort == MOD_MIDIPORT && opt_Mapper == MOD_MAPPER);

using TechNameMap = std::array<std::string_view, 6>;  // indexed by OutPortTech
inline constexpr TechNameMap TechName = {
    "None", "MIDI Port", "Generic Synth", "Square Wave Synth", "FM Synth", "MIDI Mapper"};

class TMidiOutput : public TMidiIO {
 public:
  explicit TMidiOutput(TComponent* AOwner);
  ~TMidiOutput() override;  // never throws

  std::uint32_t DeviceCount() override;
  // Never raises: false when the device cannot be opened (the code is in Error), and false
  // without any change when the component is already open.
  virtual bool Open();
  // True when an open device was closed; raises when the service refuses to close it.
  virtual bool Close();
  virtual bool ChangeDevice(std::uint32_t id, bool openAfter);
  // The event stays the caller's.
  virtual void PutMidiEvent(const TMyMidiEvent& event);
  virtual void PutShort(std::uint8_t status, std::uint8_t data1, std::uint8_t data2);
  virtual void PutLong(const std::uint8_t* data, std::uint16_t length);

  // Channel messages: the status byte takes the channel's low four bits; data bytes pass
  // unchanged.
  void NoteOff(std::uint8_t channel, std::uint8_t note, std::uint8_t velocity);
  void NoteOn(std::uint8_t channel, std::uint8_t note, std::uint8_t velocity);
  void NoteAftertouch(std::uint8_t channel, std::uint8_t note, std::uint8_t pressure);
  void ControllerChange(std::uint8_t channel, std::uint8_t controller, std::uint8_t value);
  void ProgramChange(std::uint8_t channel, std::uint8_t program);
  void ChangeInstrument(std::uint8_t channel, TGMInstrumentPatch patch);
  void ChannelAftertouch(std::uint8_t channel, std::uint8_t pressure);

  // Device selection.
  std::uint32_t DeviceID() const { return FDeviceID; }
  void SetDeviceID(std::uint32_t id);
  const std::string& ProductName() const { return FProductName; }
  void SetProductName(const std::string& name);
  OutPortTech Technology() const { return FTechnology; }
  void SetTechnology(OutPortTech tech);

  // The selected device's capabilities.
  std::uint16_t ManufacturerID() const { return FManufacturerID; }
  std::uint16_t ProductID() const { return FProductID; }
  std::uint32_t DriverVersion() const { return FDriverVersion; }
  std::uint16_t Voices() const { return FVoices; }
  std::uint16_t Notes() const { return FNotes; }
  std::uint16_t ChannelMask() const { return FChannelMask; }
  std::uint32_t SupportFlags() const { return FSupportFlags; }

  MidiOutputState State() const { return FState; }
  // The result code of the last service call that records one.
  MMRESULT Error() const { return FError; }
  // The open device's handle (nullptr when closed) and the block the callback reads (nullptr
  // until the first Open).
  HMIDIOUT DeviceHandle() const { return FDeviceHandle; }
  const TMidiCallbackInfo* CallbackInfo() const { return FCallbackInfo; }

  TFeatureSet GetFeaturesAsSet() const;
  bool GetSupportsCaching() const;
  bool GetSupportsStreaming() const;
  bool GetSupportsVolControl() const;
  bool GetSupportsLRVolCtrl() const;

  // Volume by device number, open or not. First is the high-order word of the service's
  // value; second the low-order word, or first again on a device without stereo volume.
  void GetVolume(std::uint16_t& first, std::uint16_t& second);
  void GetVolume(std::uint16_t& volume);
  std::uint16_t GetVolume();
  void SetVolume(std::uint16_t first, std::uint16_t second);
  void SetVolume(std::uint16_t volume);

  // Record the result in Error and never raise; MidiOutErrorString(Error(), ecCaching) words it.
  bool CachePatches(std::uint32_t bank, std::uint16_t* patches, std::uint8_t flags);
  bool CacheDrumPatches(std::uint32_t patch, std::uint16_t* keys, std::uint8_t flags);
  // Passed to the driver by device number; the result is returned, not recorded.
  MMRESULT DriverMidiMessage(std::uint32_t message, std::uintptr_t param1, std::uintptr_t param2);

  // Never raises and changes nothing.
  std::string MidiOutErrorString(MMRESULT code, TMIDIErrorContext context) const;

  // The hidden window's handler: 969 releases a finished long message, 17 answers 1.
  void MidiOutput(TMessage& message);

  const TNotifyEvent& OnMidiOutput() const { return FOnMidiOutput; }
  void SetOnMidiOutput(TNotifyEvent value) { FOnMidiOutput = std::move(value); }
  const TNotifyEvent& OnDeviceChanged() const { return FOnDeviceChanged; }
  void SetOnDeviceChanged(TNotifyEvent value) { FOnDeviceChanged = std::move(value); }

 protected:
  void DefineProperties(std::vector<TPropertyInfo>& list) const override;

  HWND FNotifyWindow = 0;
  std::uint32_t FDeviceID = 0;
  HMIDIOUT FDeviceHandle = nullptr;
  MidiOutputState FState = mosClosed;
  TMidiCallbackInfo* FCallbackInfo = nullptr;
  MMRESULT FError = 0;
  std::uint16_t FManufacturerID = 0;
  std::uint16_t FProductID = 0;
  std::uint32_t FDriverVersion = 0;
  std::string FProductName;
  OutPortTech FTechnology = opt_None;
  std::uint16_t FVoices = 0;
  std::uint16_t FNotes = 0;
  std::uint16_t FChannelMask = 0;
  std::uint32_t FSupportFlags = 0;
  std::uint16_t FCachedDeviceCount = 0;
  TNotifyEvent FOnMidiOutput;
  TNotifyEvent FOnDeviceChanged;

 private:
  // Queries device id's capabilities into caps, recording the result; raises on failure.
  // A service without a mapper answers the mapper's number with MMSYSERR_BADDEVICEID; the
  // searches skip it instead of failing (returns false then).
  bool QuerySearchCandidate(std::uint32_t id, MIDIOUTCAPS& caps);
  [[noreturn]] void RaiseError(MMRESULT code, TMIDIErrorContext context) const;
  void ReleaseCallbackInfo();
  void CloseForDestruction() noexcept;

  // Long messages handed to the service whose completion has not been handled yet; the
  // destructor waits for them so that no buffer outlives the component unreleased.
  std::uint32_t FLongMessagesPending = 0;
  bool FDestroying = false;
};

}  // namespace velora
