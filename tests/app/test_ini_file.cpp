// The settings file object: names without letter case, every write in the file at once and
// as a whole, read-only files left alone, and what it does not own kept.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/IniFile.h"

namespace velora {
namespace {

class IniFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/velora-ini-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    Dir = pattern;
    Path = Dir + "/velora.INI";
  }
  void TearDown() override {
    std::filesystem::permissions(Dir, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add);
    std::filesystem::remove_all(Dir);
  }
  void Write(const std::string& text) { std::ofstream(Path, std::ios::binary) << text; }
  std::string Read() {
    std::ifstream in(Path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }
  std::size_t FilesInDir() {
    return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator(Dir),
                                                  std::filesystem::directory_iterator()));
  }

  std::string Dir;
  std::string Path;
};

TEST_F(IniFileTest, NamesMatchWithoutLetterCase) {
  Write("[mididevices]\ninput=Keys\n");
  TIniFile ini(Path);
  EXPECT_EQ(ini.FileName(), Path);
  EXPECT_EQ(ini.ReadString("MidiDevices", "Input", "None"), "Keys");
  ini.WriteString("MIDIDEVICES", "INPUT", "Other Keys");
  EXPECT_EQ(ini.ReadString("MidiDevices", "input", "None"), "Other Keys");
  EXPECT_EQ(Read().find("Keys\n"), Read().rfind("Keys\n"));  // one key, not two
}

TEST_F(IniFileTest, MissingFileSectionOrKeyReadsAsDefault) {
  TIniFile ini(Path);
  EXPECT_EQ(ini.ReadString("MidiDevices", "Input", "None"), "None");
  EXPECT_EQ(ini.ReadInteger("MIDITrigger", "TypeIdx", 128), 128);
  Write("[MidiDevices]\nOutput=Module\n");
  EXPECT_EQ(ini.ReadString("MidiDevices", "Input", "None"), "None");
  EXPECT_EQ(ini.ReadString("Other", "Output", "None"), "None");
}

TEST_F(IniFileTest, IntegersThatAreNotNumbersReadAsDefault) {
  const std::pair<const char*, std::int32_t> cases[] = {
      {"12", 12},
      {"-5", -5},
      {"+7", 7},
      {"300", 300},
      {"0x1F", 31},
      {"$10", 16},
      {"abc", 99},
      {"", 99},
      {"12abc", 99},
      {"-", 99},
      {"2147483647", 2147483647},
      {"2147483648", 99},
      {"99999999999", 99},
  };
  for (const auto& [text, expected] : cases) {
    Write(std::string("[S]\nK=") + text + "\n");
    EXPECT_EQ(TIniFile(Path).ReadInteger("S", "K", 99), expected) << '"' << text << '"';
  }
}

TEST_F(IniFileTest, WritesReachTheFileAtOnce) {
  TIniFile ini(Path);
  ini.WriteString("MidiDevices", "Input", "Keys");
  ini.WriteInteger("MIDITrigger", "TypeIdx", 255);
  EXPECT_EQ(TIniFile(Path).ReadString("MidiDevices", "Input", ""), "Keys");
  EXPECT_EQ(TIniFile(Path).ReadInteger("MIDITrigger", "TypeIdx", 0), 255);
  // A change made by someone else is seen by the next read.
  Write("[MidiDevices]\nInput=Changed\n");
  EXPECT_EQ(ini.ReadString("MidiDevices", "Input", ""), "Changed");
}

TEST_F(IniFileTest, ForeignSectionsKeysAndCommentsAreKept) {
  Write(
      "; settings of Velora\n"
      "\n"
      "[Window]\n"
      "; where it was\n"
      "Left=10\n"
      "[MidiDevices]\n"
      "Input=Keys\n"
      "; kept for later\n"
      "Spare=1\n"
      "; the end\n");
  TIniFile(Path).WriteString("MidiDevices", "Input", "Other");
  TIniFile(Path).WriteString("MIDITrigger", "TypeIdx", "5");
  const std::string text = Read();
  for (const char* kept :
       {"; settings of Velora", "[Window]", "; where it was", "Left=10", "; kept for later",
        "Spare=1", "; the end", "Input=Other", "[MIDITrigger]"})
    EXPECT_NE(text.find(kept), std::string::npos) << kept;
  EXPECT_EQ(text.find("Input=Keys"), std::string::npos);
  EXPECT_EQ(text.find("; the end"), text.rfind("; the end"));
}

// A carriage return ends a line for the parser, so an entry behind one in the last comment
// is an entry: keeping the "comment" must not bring its old value back after a write.
TEST_F(IniFileTest, KeptTrailingCommentCarriesNoEntryBack) {
  Write("[MIDITrigger]\nTypeIdx=13\n; note\rTypeIdx=13\r");
  TIniFile(Path).WriteInteger("MIDITrigger", "TypeIdx", 5);
  EXPECT_EQ(TIniFile(Path).ReadInteger("MIDITrigger", "TypeIdx", -1), 5);
  EXPECT_EQ(Read().find("TypeIdx=13"), std::string::npos) << Read();
}

// A run of zero bytes, as a crash may leave in a file, hides nothing behind it.
TEST_F(IniFileTest, EntriesAfterZeroBytesAreReadAndKept) {
  Write(std::string("[MidiDevices]\nInput=Keys\n") + std::string(4, '\0') +
        "\n[Window]\nLeft=10\n");
  EXPECT_EQ(TIniFile(Path).ReadString("Window", "Left", ""), "10");
  TIniFile(Path).WriteString("MidiDevices", "Input", "Other");
  EXPECT_EQ(TIniFile(Path).ReadString("Window", "Left", ""), "10");
  EXPECT_EQ(TIniFile(Path).ReadString("MidiDevices", "Input", ""), "Other");
}

// A write never rewrites the old file's bytes: a new file takes its place whole, with the old
// file's permissions, and nothing else is left in the folder.
TEST_F(IniFileTest, WriteReplacesTheFileWhole) {
  Write("[MidiDevices]\nInput=Keys\n");
  ASSERT_EQ(chmod(Path.c_str(), 0640), 0);
  const std::string oldLink = Dir + "/old";
  ASSERT_EQ(link(Path.c_str(), oldLink.c_str()), 0);

  TIniFile(Path).WriteString("MidiDevices", "Input", "Other");
  EXPECT_EQ(TIniFile(oldLink).ReadString("MidiDevices", "Input", ""), "Keys");
  EXPECT_EQ(TIniFile(Path).ReadString("MidiDevices", "Input", ""), "Other");
  struct stat st {};
  ASSERT_EQ(stat(Path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(FilesInDir(), 2u);
}

TEST_F(IniFileTest, ReadOnlyFileIsNeverReplaced) {
  Write("[MidiDevices]\nInput=Keys\n");
  ASSERT_EQ(chmod(Path.c_str(), 0444), 0);
  TIniFile ini(Path);
  try {
    ini.WriteString("MidiDevices", "Input", "Other");
    FAIL() << "the write went through";
  } catch (const Exception& error) {
    EXPECT_EQ(std::string(error.what()), "Unable to write to " + Path);
  }
  EXPECT_EQ(Read(), "[MidiDevices]\nInput=Keys\n");
  EXPECT_EQ(FilesInDir(), 1u);
}

TEST_F(IniFileTest, FolderThatCannotBeWrittenRaises) {
  const std::string missing = Dir + "/no such folder/velora.INI";
  try {
    TIniFile(missing).WriteInteger("MIDITrigger", "TypeIdx", 1);
    FAIL() << "the write went through";
  } catch (const Exception& error) {
    EXPECT_EQ(std::string(error.what()), "Unable to write to " + missing);
  }
}

TEST_F(IniFileTest, WritableFileInLockedFolderIsWrittenInPlace) {
  if (geteuid() == 0) GTEST_SKIP() << "folder permissions do not bind the superuser";
  Write("[MidiDevices]\nInput=Keys\n");
  ASSERT_EQ(chmod(Dir.c_str(), 0555), 0);
  TIniFile(Path).WriteString("MidiDevices", "Input", "Other");
  EXPECT_EQ(TIniFile(Path).ReadString("MidiDevices", "Input", ""), "Other");
}

}  // namespace
}  // namespace velora
