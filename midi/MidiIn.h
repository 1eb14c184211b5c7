// The MIDI input component: selects an input device by number or product name, opens and
// starts it, and hands what it receives to its user one TMyMidiEvent at a time, on the main
// thread. The service's callback fills a ring; the hidden window announces the entries.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "midi/Circbuf.h"
#include "midi/MidiType.h"
#include "midi/Midicallback.h"
#include "platform/Component.h"
#include "platform/MessageWindow.h"
#include "platform/MidiService.h"
#include "platform/SysUtils.h"

namespace velora {

enum MidiInputState : std::uint8_t { misOpen, misClosed, misCreating, misDestroying };
template <>
struct TEnumInfo<MidiInputState> {
  static constexpr std::array<std::string_view, 4> Names = {"misOpen", "misClosed", "misCreating",
                                                            "misDestroying"};
};
static_assert(sizeof(MidiInputState) == 1);

class EMidiInputError : public Exception {
 public:
  using Exception::Exception;
};

class TMidiInput : public TMidiIO {
 public:
  explicit TMidiInput(TComponent* AOwner);
  ~TMidiInput() override;  // never throws

  std::uint32_t DeviceCount() override;

  void Open();
  void Close();
  void Start();
  void Stop();
  void OpenAndStart();
  void StopAndClose();
  void ChangeDevice(std::uint32_t id, bool openAfter);

  std::uint16_t GetEventCount();
  // The oldest waiting event, or nullptr; the caller deletes it.
  TMyMidiEvent* GetMidiEvent();
  void FlushQueue();
  std::string MidiInErrorString(std::uint16_t code);

  // Published properties.
  const std::string& ProductName() const { return FProductName; }
  void SetProductName(const std::string& name);
  std::uint32_t DeviceID() const { return FDeviceID; }
  void SetDeviceID(std::uint32_t id);
  std::uint16_t Capacity() const { return FCapacity; }
  void SetCapacity(std::uint16_t value) { FCapacity = value; }
  std::uint16_t Error() const { return FError; }
  std::uint16_t SysexBufferSize() const { return FSysexBufferSize; }
  void SetSysexBufferSize(std::uint16_t value);
  std::uint16_t SysexBufferCount() const { return FSysexBufferCount; }
  void SetSysexBufferCount(std::uint16_t value);
  bool SysexOnly() const { return FSysexOnly; }
  void SetSysexOnly(bool value);
  TMidiMsgFilter FilteredMessages() const { return FFilteredMessages; }
  void SetMsgFilter(TMidiMsgFilter value);
  const TNotifyEvent& OnMidiInput() const { return FOnMidiInput; }
  void SetOnMidiInput(TNotifyEvent value) { FOnMidiInput = std::move(value); }
  const TNotifyEvent& OnOverflow() const { return FOnOverflow; }
  void SetOnOverflow(TNotifyEvent value) { FOnOverflow = std::move(value); }
  const TNotifyEvent& OnDeviceChanged() const { return FOnDeviceChanged; }
  void SetOnDeviceChanged(TNotifyEvent value) { FOnDeviceChanged = std::move(value); }

  // Read only.
  MidiInputState State() const { return FState; }
  std::uint32_t DriverVersion() const { return FDriverVersion; }
  std::uint16_t ManufacturerID() const { return FManufacturerID; }
  std::uint16_t ProductID() const { return FProductID; }
  HWND NotifyWindow() const { return FNotifyWindow; }  // 0 while designed

 protected:
  void DefineProperties(std::vector<TPropertyInfo>& list) const override;

 private:
  void Prepareheaders();
  void AddBuffers();
  void UnprepareHeaders();
  void MidiInput(TMessage& message);

  // Stores the result in Error and raises its text when it is not 0.
  void Check(MMRESULT result);
  // Reset, unprepare and close; stops at the first refusal and returns its code, leaving the
  // handle and everything the device can still reach in place (a device that went away is
  // closed all the same). Frees the buffers and the ring once closed.
  MMRESULT ShutDevice();
  // Hands the sysex buffers the full ring could not take back to the device. Returns the
  // first refusal; the refused headers wait for the next attempt.
  MMRESULT RequeueDroppedSysex();
  void FreeCallbackInfo();

  HWND FNotifyWindow = 0;
  std::uint32_t FDeviceID = 0;
  HMIDIIN FDeviceHandle = nullptr;
  MidiInputState FState = misCreating;
  std::uint16_t FError = 0;
  bool FSysexOnly = false;
  TMidiMsgFilter FFilteredMessages;
  std::uint32_t FDriverVersion = 0;
  std::string FProductName;
  std::uint16_t FManufacturerID = 0;
  std::uint16_t FProductID = 0;
  std::uint16_t FCapacity = 0;
  TCircularBuffer* FRing = nullptr;
  std::uint32_t FCachedDeviceCount = 0;
  TNotifyEvent FOnMidiInput;
  TNotifyEvent FOnOverflow;
  TNotifyEvent FOnDeviceChanged;
  std::uint16_t FSysexBufferSize = 0;
  std::uint16_t FSysexBufferCount = 0;
  std::vector<std::unique_ptr<TMyMidiHdr>> FHeaderList;  // empty: no sysex buffers
  TMidiCallbackInfo* FCallbackInfo = nullptr;
};

}  // namespace velora
