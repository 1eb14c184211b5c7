// The MIDI vocabulary: enumeration and set layout, member names, the name tables, patch arrays
// and the received event record.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "midi/MidiType.h"
#include "midi/Midicons.h"
#include "midi/Mididefs.h"
#include "midi/Midikeypatcharray.h"

namespace velora {
namespace {

TEST(Vocabulary, SetsHaveTheirWidthsAndMemberNIsBitN) {
  EXPECT_EQ(sizeof(TMidiChannels), 2u);
  EXPECT_EQ(sizeof(TFeatureSet), 1u);
  EXPECT_EQ(sizeof(TMidiMsgFilter), 1u);
  for (TMidiChannel n = 0; n < 16; ++n) EXPECT_EQ(TMidiChannels{n}.Bits(), 1u << n) << int(n);
  for (TFeature f : {ftCaching, ftStreaming, ftVolume, ftStereoVolume})
    EXPECT_EQ(TFeatureSet{f}.Bits(), 1u << f);
  EXPECT_EQ(TMidiMsgFilter({msgActiveSensing, msgMidiTimeCode}).Bits(), 0x03);

  // A set's bits go to the platform as they are, so they must read back member by member.
  const auto channels = TMidiChannels::FromBits(0x8001);
  EXPECT_TRUE(channels.Contains(0));
  EXPECT_TRUE(channels.Contains(15));
  EXPECT_FALSE(channels.Contains(1));
  EXPECT_FALSE(channels.Contains(16));  // not a channel, not a crash
  EXPECT_FALSE(channels.Contains(40));
  EXPECT_TRUE(TMidiChannels{40}.Empty());
  auto features = TFeatureSet{ftVolume, ftStereoVolume};
  features.Exclude(ftVolume);
  EXPECT_EQ(features, TFeatureSet{ftStereoVolume});
}

TEST(Vocabulary, MemberNamesAreAvailableAtRunTime) {
  EXPECT_EQ(EnumName(ch15), "ch15");
  EXPECT_EQ(EnumName(ftStereoVolume), "ftStereoVolume");
  EXPECT_EQ(EnumName(ecOutPrepareHeader), "ecOutPrepareHeader");
  EXPECT_EQ(EnumName(msgMidiTimeCode), "msgMidiTimeCode");
  EXPECT_EQ(EnumCount<TGMInstrumentPatch>(), 128u);
  EXPECT_EQ(EnumName(gmiAcousticGrandPiano), "gmiAcousticGrandPiano");
  EXPECT_EQ(EnumName(gmiTrobone), "gmiTrobone");
  EXPECT_EQ(EnumName(gmiGunshot), "gmiGunshot");
  EXPECT_EQ(EnumName(static_cast<TMidiMsg>(2)), "");  // no such member
  // Every program name names its own member.
  for (int p = 0; p < 128; ++p) {
    const auto program = static_cast<TGMInstrumentPatch>(p);
    EXPECT_EQ(EnumFromName<TGMInstrumentPatch>(EnumName(program)), program) << p;
  }
  EXPECT_EQ(EnumFromName<TMidiMsg>("msgactivesensing"), std::nullopt);
}

TEST(Vocabulary, SetsReadAndWriteAsMemberNames) {
  for (std::uint8_t bits = 0; bits < 4; ++bits) {
    const auto filter = TMidiMsgFilter::FromBits(bits);
    const auto text = SetToText(filter);
    EXPECT_EQ((SetFromText<TMidiMsg, std::uint8_t>(text)), filter) << text;
  }
  EXPECT_EQ(SetToText(TMidiMsgFilter{msgMidiTimeCode, msgActiveSensing}),
            "[msgActiveSensing,msgMidiTimeCode]");
  EXPECT_EQ(SetToText(TMidiMsgFilter{}), "[]");
  EXPECT_EQ((SetFromText<TMidiMsg, std::uint8_t>(" [ msgMidiTimeCode , msgActiveSensing ] ")),
            (TMidiMsgFilter{msgActiveSensing, msgMidiTimeCode}));
  for (const char* bad : {"", "msgActiveSensing", "[msgActiveSensing", "[msgActiveSensing,]",
                          "[msgUnknown]", "[,]", "[ch00]"})
    EXPECT_EQ((SetFromText<TMidiMsg, std::uint8_t>(bad)), std::nullopt) << bad;
}

TEST(Vocabulary, InstrumentNames) {
  EXPECT_EQ(MIDIInstrumentToStr(gmiAcousticGrandPiano), "Acoustic Grand Piano");
  EXPECT_EQ(MIDIInstrumentToStr(static_cast<TGMInstrumentPatch>(57)), "Trobone");
  EXPECT_EQ(MIDIInstrumentToStr(static_cast<TGMInstrumentPatch>(63)), "Synth Brass2");
  EXPECT_EQ(MIDIInstrumentToStr(static_cast<TGMInstrumentPatch>(127)), "Gunshot");
  EXPECT_EQ(MIDIInstrumentToStr(gmiLead8BassAndLead), "Lead 8 (Bass + Lead)");
}

TEST(Vocabulary, MessageNames) {
  const std::pair<int, const char*> rows[] = {
      {0x80, "MIDI_NOTEOFF"},
      {0x8F, "MIDI_NOTEOFF"},
      {0x90, "MIDI_NOTEON"},
      {0x9F, "MIDI_NOTEON"},
      {0xA5, "MIDI_KEYAFTERTOUCH"},
      {0xB0, "MIDI_CONTROLCHANGE"},
      {0xCA, "MIDI_PROGRAMCHANGE"},
      {0xD0, "MIDI_CHANAFTERTOUCH"},
      {0xEF, "MIDI_PITCHBEND"},
      {0xF0, "MIDI_BEGINSYSEX or MIDI_SYSTEMMESSAGE"},
      {0x00, "Unknown MIDI Message 0x00 | 0"},
      {0x0A, "Unknown MIDI Message 0x0A | 10"},
      {0x7B, "Unknown MIDI Message 0x7B | 123"},
      {0x7F, "Unknown MIDI Message 0x7F | 127"},
  };
  for (const auto& [status, name] : rows)
    EXPECT_EQ(MidiMessageToStr(static_cast<std::uint8_t>(status)), name) << status;
  // The channel nibble is masked off, so every system byte shares the 0xF0 name.
  for (int status = 0xF1; status <= 0xFF; ++status)
    EXPECT_EQ(MidiMessageToStr(static_cast<std::uint8_t>(status)),
              "MIDI_BEGINSYSEX or MIDI_SYSTEMMESSAGE")
        << status;
}

TEST(Vocabulary, PatchChannelsReplaceOneEntry) {
  std::uint16_t patches[128];
  std::memset(patches, 0xAB, sizeof patches);
  EXPECT_TRUE(SetPatchChannels(patches, 0, TMidiChannels{}));
  EXPECT_EQ(patches[0], 0u);
  EXPECT_TRUE(SetPatchChannels(patches, 127, TMidiChannels{0, 15}));
  EXPECT_EQ(patches[127], 0x8001u);
  EXPECT_TRUE(SetPatchChannels(patches, 5, TMidiChannels{1, 2, 3}));
  EXPECT_TRUE(SetPatchChannels(patches, 5, TMidiChannels{9}));
  EXPECT_EQ(patches[5], 0x0200u);  // replaced, not merged
  EXPECT_EQ(patches[1], 0xABABu);
  EXPECT_EQ(patches[126], 0xABABu);

  std::uint16_t before[128];
  std::memcpy(before, patches, sizeof patches);
  for (std::uint8_t refused : {128, 200, 255})
    EXPECT_FALSE(SetPatchChannels(patches, refused, TMidiChannels{0})) << int(refused);
  EXPECT_EQ(std::memcmp(before, patches, sizeof patches), 0);
}

TEST(Vocabulary, EventOwnsItsSysexCopy) {
  auto* shortEvent = new TMyMidiEvent;
  EXPECT_EQ(shortEvent->StatusByte, 0);
  EXPECT_EQ(shortEvent->TimeStamp, 0u);
  EXPECT_EQ(shortEvent->SysexSize, 0);
  EXPECT_EQ(shortEvent->SysexData, nullptr);
  delete shortEvent;

  // Destroying the event releases the copy (checked by the leak checker of the sanitizer
  // builds); a base pointer must do the same.
  TPersistent* sysex = [] {
    auto* e = new TMyMidiEvent;
    e->StatusByte = MIDI_BEGINSYSEX;
    e->SysexSize = 3;
    e->SysexData = new std::uint8_t[3]{0xF0, 0x7E, 0xF7};
    return e;
  }();
  delete sysex;
}

}  // namespace
}  // namespace velora
