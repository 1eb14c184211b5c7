// The vocabulary the MIDI components share: channels, output features, output error
// contexts, the input message filter, the General MIDI programs, the received event record,
// the abstract device component and the buffer header object.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/Component.h"
#include "platform/MidiService.h"
#include "platform/SharedMemory.h"
#include "platform/Sets.h"

namespace velora {

using TMidiChannel = std::uint8_t;  // 0..15

enum TMidiChannelNamed : std::uint8_t {
  ch00,
  ch01,
  ch02,
  ch03,
  ch04,
  ch05,
  ch06,
  ch07,
  ch08,
  ch09,
  ch10,
  ch11,
  ch12,
  ch13,
  ch14,
  ch15,
};
template <>
struct TEnumInfo<TMidiChannelNamed> {
  static constexpr std::array<std::string_view, 16> Names = {
      "ch00", "ch01", "ch02", "ch03", "ch04", "ch05", "ch06", "ch07",
      "ch08", "ch09", "ch10", "ch11", "ch12", "ch13", "ch14", "ch15"};
};

using TMidiChannels = TSet<TMidiChannel, std::uint16_t>;

enum TFeature : std::uint8_t { ftCaching, ftStreaming, ftVolume, ftStereoVolume };
template <>
struct TEnumInfo<TFeature> {
  static constexpr std::array<std::string_view, 4> Names = {"ftCaching", "ftStreaming", "ftVolume",
                                                            "ftStereoVolume"};
};
using TFeatureSet = TSet<TFeature, std::uint8_t>;

enum TMIDIErrorContext : std::uint8_t {
  ecGeneric,
  ecCaching,
  ecPutShort,
  ecPutLong,
  ecOutPrepareHeader,
};
template <>
struct TEnumInfo<TMIDIErrorContext> {
  static constexpr std::array<std::string_view, 5> Names = {"ecGeneric", "ecCaching", "ecPutShort",
                                                            "ecPutLong", "ecOutPrepareHeader"};
};

// msgMidiTimeCode stands for the timing clock byte 0xF8, not the quarter frame 0xF1.
enum TMidiMsg : std::uint8_t { msgActiveSensing, msgMidiTimeCode };
template <>
struct TEnumInfo<TMidiMsg> {
  static constexpr std::array<std::string_view, 2> Names = {"msgActiveSensing", "msgMidiTimeCode"};
};
using TMidiMsgFilter = TSet<TMidiMsg, std::uint8_t>;

enum TGMInstrumentPatch : std::uint8_t {
  gmiAcousticGrandPiano,
  gmiBrightAcousticPiano,
  gmiElectricGrandPiano,
  gmiHonkyTonkPiano,
  gmiElectricPiano1,
  gmiElectricPiano2,
  gmiHarpsichord,
  gmiClavi,
  gmiCelesta,
  gmiGlockenspiel,
  gmiMusicBox,
  gmiVibraphone,
  gmiMarimba,
  gmiXylophone,
  gmiTubularBells,
  gmiDulcimer,
  gmiDrawbarOrgan,
  gmiPercussiveOrgan,
  gmiRockOrgan,
  gmiChurchOrgan,
  gmiReedOrgan,
  gmiAccordion,
  gmiHarmonica,
  gmiTangoAccordion,
  gmiAcousticGuitarNylon,
  gmiAcousticGuitarSteel,
  gmiElectricGuitarJazz,
  gmiElectricGuitarClean,
  gmiElectricGuitarMuted,
  gmiOverdrivenGuitar,
  gmiDistortionGuitar,
  gmiGuitarHarmonics,
  gmiAcousticBass,
  gmiElectricBassFinger,
  gmiElectricBassPick,
  gmiFretlessBass,
  gmiSlapBass1,
  gmiSlapBass2,
  gmiSynthBass1,
  gmiSynthBass2,
  gmiViolin,
  gmiViola,
  gmiCello,
  gmiContrabass,
  gmiTremoloStrings,
  gmiPizzicatoStrings,
  gmiOrchestralHarp,
  gmiTimpani,
  gmiStringEnsemble1,
  gmiStringEnsemble2,
  gmiSynthStrings1,
  gmiSynthString2,
  gmiChoirAahs,
  gmiVoiceOohs,
  gmiSynthVoice,
  gmiOrchestraHit,
  gmiTrumpet,
  gmiTrobone,
  gmiTuba,
  gmiMutedTrumpet,
  gmiFrenchHorn,
  gmiBrassSection,
  gmiSynthBrass1,
  gmiSynthBrass2,
  gmiSopranoSax,
  gmiAltoSax,
  gmiTenorSax,
  gmiBaritoneSax,
  gmiOboe,
  gmiEnglishHorn,
  gmiBassoon,
  gmiClarinet,
  gmiPiccolo,
  gmiFlute,
  gmiRecorder,
  gmiPanFlute,
  gmiBlownBottle,
  gmiShakuhachi,
  gmiWhistle,
  gmiOcarina,
  gmiLead1Square,
  gmiLead2Sawtooth,
  gmiLead3Calliope,
  gmiLead4Chiff,
  gmiLead5Charang,
  gmiLead6Voice,
  gmiLead7Fifths,
  gmiLead8BassAndLead,
  gmiPad1NewAge,
  gmiPad2Warm,
  gmiPad3Polysynth,
  gmiPad4Choir,
  gmiPad5Bowed,
  gmiPad6Metallic,
  gmiPad7Halo,
  gmiPad8Sweep,
  gmiFX1Rain,
  gmiFX2Soundtrack,
  gmiFX3Crystal,
  gmiFX4Atmosphere,
  gmiFX5Brightness,
  gmiFX6Goblins,
  gmiFX7Echoes,
  gmiFX8SciFi,
  gmiSitar,
  gmiBanjo,
  gmiShamisen,
  gmiKoto,
  gmiKalimba,
  gmiBagPipe,
  gmiFiddle,
  gmiShania,
  gmiTinkleBell,
  gmiAgogo,
  gmiSteelDrums,
  gmiWoodblock,
  gmiTaikoDrum,
  gmiMelodicTom,
  gmiSynthDrum,
  gmiReverseCymbal,
  gmiGuitarFretNoise,
  gmiBreathNoise,
  gmiSeashore,
  gmiBirdTweet,
  gmiTelephoneRing,
  gmiHelicopter,
  gmiApplause,
  gmiGunshot,
};
template <>
struct TEnumInfo<TGMInstrumentPatch> {
  static const std::array<std::string_view, 128> Names;
};

using TGMInstrumentStringMap = std::array<std::string, 128>;

static_assert(sizeof(TMidiChannelNamed) == 1 && sizeof(TFeature) == 1 &&
              sizeof(TMIDIErrorContext) == 1 && sizeof(TMidiMsg) == 1 &&
              sizeof(TGMInstrumentPatch) == 1);
static_assert(sizeof(TMidiChannels) == 2 && sizeof(TFeatureSet) == 1 &&
              sizeof(TMidiMsgFilter) == 1);
static_assert(TMidiMsgFilter{msgActiveSensing}.Bits() == 0x01 &&
              TMidiMsgFilter{msgMidiTimeCode}.Bits() == 0x02);
static_assert(TFeatureSet{ftStereoVolume}.Bits() == 0x08);
static_assert(TMidiChannels{15}.Bits() == 0x8000);
static_assert(gmiGunshot == 127 && gmiTrobone == 57 && ecOutPrepareHeader == 4);

// The display name of a General MIDI program.
std::string MIDIInstrumentToStr(TGMInstrumentPatch program);

// One received MIDI event: a short message or a system exclusive message. Made by the input
// component; whoever takes one deletes it, which frees SysexData.
class TMyMidiEvent : public TPersistent {
 public:
  TMyMidiEvent() = default;
  ~TMyMidiEvent() override;
  TMyMidiEvent(const TMyMidiEvent&) = delete;
  TMyMidiEvent& operator=(const TMyMidiEvent&) = delete;

  std::uint8_t StatusByte = 0;
  std::uint8_t DataByte1 = 0;
  std::uint8_t DataByte2 = 0;
  std::uint32_t TimeStamp = 0;
  std::uint16_t SysexSize = 0;
  std::uint8_t* SysexData = nullptr;  // new[]-allocated, owned by the event
};
using PMyMidiEvent = TMyMidiEvent*;

// The abstract device component of both MIDI components.
class TMidiIO : public TComponent {
 public:
  using TComponent::TComponent;
  virtual std::uint32_t DeviceCount() = 0;
};

// One service buffer header with its data block, both shareable locked blocks. The header's
// user field is left 0; users store the object there before handing the header over.
class TMyMidiHdr : public TObject {
 public:
  // Size 0 makes no blocks. Raises Exception (holding nothing) when a block cannot be had,
  // so a header without its blocks never reaches the service.
  explicit TMyMidiHdr(std::uint16_t size);
  ~TMyMidiHdr() override;
  TMyMidiHdr(const TMyMidiHdr&) = delete;
  TMyMidiHdr& operator=(const TMyMidiHdr&) = delete;

  HGLOBAL HeaderHandle = 0;
  MIDIHDR* Header = nullptr;
  HGLOBAL DataHandle = 0;
  std::uint8_t* DataBuffer = nullptr;
};
using PMyMidiHdr = TMyMidiHdr*;

}  // namespace velora
