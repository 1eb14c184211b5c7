#include "midi/MidiType.h"

#include "midi/Circbuf.h"

namespace velora {

namespace {

const TGMInstrumentStringMap GMInstrumentNames = {
    "Acoustic Grand Piano", "Bright Acoustic Piano", "Electric Grand Piano", "Honky-Tonk Piano",
    "Electric Piano 1", "Electric Piano 2", "Harpsichord", "Clavi",
    "Celesta", "Glockenspiel", "Music Box", "Vibraphone",
    "Marimba", "Xylophone", "TubularBells", "Dulcimer",
    "Drawbar Organ", "Percussive Organ", "Rock Organ", "Church Organ",
    "Reed Organ", "Accordion", "Harmonica", "Tango Accordion",
    "Acoustic Guitar (Nylon)", "Acoustic Guitar (Steel)", "Electric Guitar (Jazz)",
    "Electric Guitar (Clean)", "Electric Guitar (Muted)", "Overdriven Guitar",
    "Distortion Guitar", "Guitar Harmonics",
    "Acoustic Bass", "Electric Bass (Finger)", "Electric Bass (Pick)", "Fretless Bass",
    "Slap Bass 1", "Slap Bass 2", "Synth Bass 1", "Synth Bass 2",
    "Violin", "Viola", "Cello", "Contrabass",
    "Tremolo Strings", "Pizzicato Strings", "Orchestral Harp", "Timpani",
    "String Ensemble 1", "String Ensemble 2", "Synth Strings 1", "Synth String 2",
    "Choir Aahs", "Voice Oohs", "Synth Voice", "Orchestra Hit",
    "Trumpet", "Trobone", "Tuba", "Muted Trumpet",
    "French Horn", "Brass Section", "Synth Brass 1", "Synth Brass2",
    "Soprano Sax", "Alto Sax", "Tenor Sax", "Baritone Sax",
    "Oboe", "English Horn", "Bassoon", "Clarinet",
    "Piccolo", "Flute", "Recorder", "Pan Flute",
    "Blown Bottle", "Shakuhachi", "Whistle", "Ocarina",
    "Lead 1 (Square)", "Lead 2 (Sawtooth)", "Lead 3 (Calliope)", "Lead 4 (Chiff)",
    "Lead 5 (Charang)", "Lead 6 (Voice)", "Lead 7 (Fifths)", "Lead 8 (Bass + Lead)",
    "Pad 1 (NewAge)", "Pad 2 (Warm)", "Pad 3 (Polysynth)", "Pad 4 (Choir)",
    "Pad 5 (Bowed)", "Pad 6 (Metallic)", "Pad 7 (Halo)", "Pad 8 (Sweep)",
    "FX 1 (Rain)", "FX 2 (Soundtrack)", "FX 3 (Crystal)", "FX 4 (Atmosphere)",
    "FX 5 (Brightness)", "FX 6 (Goblins)", "FX 7 (Echoes)", "FX 8 (SciFi)",
    "Sitar", "Banjo", "Shamisen", "Koto",
    "Kalimba", "Bag Pipe", "Fiddle", "Shania",
    "Tinkle Bell", "Agogo", "Steel Drums", "Woodblock",
    "Taiko Drum", "Melodic Tom", "Synth Drum", "Reverse Cymbal",
    "Guitar Fret Noise", "Breath Noise", "Seashore", "Bird Tweet",
    "Telephone Ring", "Helicopter", "Applause", "Gunshot",
};

}  // namespace

const std::array<std::string_view, 128> TEnumInfo<TGMInstrumentPatch>::Names = {
    "gmiAcousticGrandPiano", "gmiBrightAcousticPiano", "gmiElectricGrandPiano",
    "gmiHonkyTonkPiano", "gmiElectricPiano1", "gmiElectricPiano2", "gmiHarpsichord", "gmiClavi",
    "gmiCelesta", "gmiGlockenspiel", "gmiMusicBox", "gmiVibraphone", "gmiMarimba",
    "gmiXylophone", "gmiTubularBells", "gmiDulcimer", "gmiDrawbarOrgan", "gmiPercussiveOrgan",
    "gmiRockOrgan", "gmiChurchOrgan", "gmiReedOrgan", "gmiAccordion", "gmiHarmonica",
    "gmiTangoAccordion", "gmiAcousticGuitarNylon", "gmiAcousticGuitarSteel",
    "gmiElectricGuitarJazz", "gmiElectricGuitarClean", "gmiElectricGuitarMuted",
    "gmiOverdrivenGuitar", "gmiDistortionGuitar", "gmiGuitarHarmonics", "gmiAcousticBass",
    "gmiElectricBassFinger", "gmiElectricBassPick", "gmiFretlessBass", "gmiSlapBass1",
    "gmiSlapBass2", "gmiSynthBass1", "gmiSynthBass2", "gmiViolin", "gmiViola", "gmiCello",
    "gmiContrabass", "gmiTremoloStrings", "gmiPizzicatoStrings", "gmiOrchestralHarp",
    "gmiTimpani", "gmiStringEnsemble1", "gmiStringEnsemble2", "gmiSynthStrings1",
    "gmiSynthString2", "gmiChoirAahs", "gmiVoiceOohs", "gmiSynthVoice", "gmiOrchestraHit",
    "gmiTrumpet", "gmiTrobone", "gmiTuba", "gmiMutedTrumpet", "gmiFrenchHorn",
    "gmiBrassSection", "gmiSynthBrass1", "gmiSynthBrass2", "gmiSopranoSax", "gmiAltoSax",
    "gmiTenorSax", "gmiBaritoneSax", "gmiOboe", "gmiEnglishHorn", "gmiBassoon", "gmiClarinet",
    "gmiPiccolo", "gmiFlute", "gmiRecorder", "gmiPanFlute", "gmiBlownBottle", "gmiShakuhachi",
    "gmiWhistle", "gmiOcarina", "gmiLead1Square", "gmiLead2Sawtooth", "gmiLead3Calliope",
    "gmiLead4Chiff", "gmiLead5Charang", "gmiLead6Voice", "gmiLead7Fifths",
    "gmiLead8BassAndLead", "gmiPad1NewAge", "gmiPad2Warm", "gmiPad3Polysynth", "gmiPad4Choir",
    "gmiPad5Bowed", "gmiPad6Metallic", "gmiPad7Halo", "gmiPad8Sweep", "gmiFX1Rain",
    "gmiFX2Soundtrack", "gmiFX3Crystal", "gmiFX4Atmosphere", "gmiFX5Brightness",
    "gmiFX6Goblins", "gmiFX7Echoes", "gmiFX8SciFi", "gmiSitar", "gmiBanjo", "gmiShamisen",
    "gmiKoto", "gmiKalimba", "gmiBagPipe", "gmiFiddle", "gmiShania", "gmiTinkleBell",
    "gmiAgogo", "gmiSteelDrums", "gmiWoodblock", "gmiTaikoDrum", "gmiMelodicTom",
    "gmiSynthDrum", "gmiReverseCymbal", "gmiGuitarFretNoise", "gmiBreathNoise", "gmiSeashore",
    "gmiBirdTweet", "gmiTelephoneRing", "gmiHelicopter", "gmiApplause", "gmiGunshot",
};

std::string MIDIInstrumentToStr(TGMInstrumentPatch program) {
  return GMInstrumentNames[static_cast<std::size_t>(program) & 0x7F];
}

TMyMidiEvent::~TMyMidiEvent() { delete[] SysexData; }

TMyMidiHdr::TMyMidiHdr(std::uint16_t size) {
  if (size == 0) return;
  Header = static_cast<MIDIHDR*>(GlobalSharedLockedAlloc(sizeof(MIDIHDR), HeaderHandle));
  if (Header) DataBuffer = static_cast<std::uint8_t*>(GlobalSharedLockedAlloc(size, DataHandle));
  if (!Header || !DataBuffer) {
    GlobalSharedLockedFree(HeaderHandle, Header);
    HeaderHandle = 0;
    Header = nullptr;
    throw Exception("Not enough memory for a MIDI buffer of " + std::to_string(size) + " bytes");
  }
  Header->lpData = DataBuffer;
  Header->dwBufferLength = size;
}

TMyMidiHdr::~TMyMidiHdr() {
  GlobalSharedLockedFree(HeaderHandle, Header);
  GlobalSharedLockedFree(DataHandle, DataBuffer);
}

}  // namespace velora
