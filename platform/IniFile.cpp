#include "platform/IniFile.h"

// Section and key names are compared as bytes folded to lower case; values are kept as they are.
#define SI_NO_CONVERSION
#define SI_IMPLEMENTATION  // header-only use: the templates are instantiated here
#include <SimpleIni.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <vector>

namespace velora {

namespace {

// The case-insensitive flavour (the "Case" one matches letter case).
using TIni = CSimpleIniA;

void MakeIni(TIni& ini) {
  ini.SetUnicode(false);
  ini.SetMultiKey(false);
  ini.SetMultiLine(false);
  ini.SetSpaces(false);
}

std::optional<std::string> ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) return std::nullopt;
  // The parser stops at a zero byte, and a write would then drop everything after it (a file
  // left half-written by a crash often holds a run of them): parse on past it instead.
  std::string whole = text.str();
  std::replace(whole.begin(), whole.end(), '\0', '\n');
  return whole;
}

// Loads the file as it is now; a missing or unreadable file reads as empty.
void LoadForReading(TIni& ini, const std::string& path) {
  MakeIni(ini);
  if (auto text = ReadWholeFile(path)) ini.LoadData(*text);
}

// The comment lines after the last entry of `text`: the parser ties a comment to the entry
// that follows it, so these belong to nothing and would be lost.
std::string TrailingComments(const std::string& text) {
  // A carriage return ends a line for the parser too: a "comment" that runs on past one
  // would otherwise carry an entry back into the file.
  std::vector<std::string> lines;
  std::string line;
  for (const char c : text) {
    if (c == '\n' || c == '\r') {
      lines.push_back(line);
      line.clear();
    } else {
      line += c;
    }
  }
  if (!line.empty()) lines.push_back(line);
  std::size_t first = lines.size();
  for (std::size_t i = lines.size(); i > 0; --i) {
    const std::string& candidate = lines[i - 1];
    const auto start = candidate.find_first_not_of(" \t");
    if (start == std::string::npos) continue;
    if (candidate[start] != ';' && candidate[start] != '#') break;
    first = i - 1;
  }
  std::string comments;
  for (std::size_t i = first; i < lines.size(); ++i) comments += lines[i] + '\n';
  return comments;
}

[[noreturn]] void RaiseWriteError(const std::string& path) {
  throw Exception("Unable to write to " + path);
}

bool WriteAll(int fd, const std::string& text) {
  const char* p = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    const ssize_t n = write(fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  return true;
}

std::string DirectoryOf(const std::string& path) {
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

mode_t NewFileMode() {
  const mode_t mask = umask(0);
  umask(mask);
  return static_cast<mode_t>(0666 & ~mask);
}

// The folder refuses new files, but the file itself may be written: rewrite it where it is.
bool WriteInPlace(const std::string& target, const std::string& text) {
  const int fd = open(target.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = WriteAll(fd, text) && fsync(fd) == 0;
  return close(fd) == 0 && ok;
}

// Writes `text` as the whole of `path`: beside it into a temporary file, then renamed over it.
void ReplaceFile(const std::string& path, const std::string& text) {
  std::string target = path;
  // A settings file that is a link stays a link: its target is what gets replaced.
  if (char* resolved = realpath(path.c_str(), nullptr)) {
    target = resolved;
    std::free(resolved);
  }

  struct stat old {};
  const bool exists = stat(target.c_str(), &old) == 0;
  if (exists) {
    if (!S_ISREG(old.st_mode)) RaiseWriteError(path);
    // A file marked read-only is left alone even for a user whom the system would let write.
    if ((old.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0 || access(target.c_str(), W_OK) != 0)
      RaiseWriteError(path);
  }

  const std::string dir = DirectoryOf(target);
  const auto slash = target.find_last_of('/');
  const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
  std::string temp = dir + "/." + base + ".XXXXXX";
  const int fd = mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) {
    if (exists && WriteInPlace(target, text)) return;
    RaiseWriteError(path);
  }

  bool ok = fchmod(fd, exists ? (old.st_mode & 07777) : NewFileMode()) == 0;
  if (ok && exists && old.st_uid != geteuid()) {
    [[maybe_unused]] int ignored = fchown(fd, old.st_uid, old.st_gid);
  }
  ok = ok && WriteAll(fd, text) && fsync(fd) == 0;
  ok = close(fd) == 0 && ok;
  if (!ok || rename(temp.c_str(), target.c_str()) != 0) {
    unlink(temp.c_str());
    RaiseWriteError(path);
  }
  // The rename itself should survive a crash too.
  const int dirFd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd >= 0) {
    fsync(dirFd);
    close(dirFd);
  }
}

}  // namespace

std::int32_t StrToIntDef(const std::string& text, std::int32_t defaultValue) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  int base = 10;
  if (i < text.size() && text[i] == '$') {
    base = 16;
    ++i;
  } else if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    base = 16;
    i += 2;
  }
  if (i == text.size()) return defaultValue;
  long long value = 0;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      return defaultValue;
    }
    value = value * base + digit;
    if (value > 0xFFFFFFFFLL) return defaultValue;
  }
  if (base == 16) {
    // Hexadecimal names the 32 bits themselves, so $FFFFFFFF is -1.
    const auto bits = static_cast<std::uint32_t>(value);
    const auto result = static_cast<std::int32_t>(bits);
    return negative ? static_cast<std::int32_t>(0u - bits) : result;
  }
  if (negative) value = -value;
  if (value < INT32_MIN || value > INT32_MAX) return defaultValue;
  return static_cast<std::int32_t>(value);
}

TIniFile::TIniFile(std::string fileName) : FFileName(std::move(fileName)) {}

std::string TIniFile::ReadString(const std::string& section, const std::string& ident,
                                 const std::string& defaultValue) const {
  TIni ini;
  LoadForReading(ini, FFileName);
  const char* value = ini.GetValue(section.c_str(), ident.c_str(), nullptr);
  return value ? std::string(value) : defaultValue;
}

std::int32_t TIniFile::ReadInteger(const std::string& section, const std::string& ident,
                                   std::int32_t defaultValue) const {
  TIni ini;
  LoadForReading(ini, FFileName);
  const char* value = ini.GetValue(section.c_str(), ident.c_str(), nullptr);
  return value ? StrToIntDef(value, defaultValue) : defaultValue;
}

void TIniFile::WriteString(const std::string& section, const std::string& ident,
                           const std::string& value) {
  TIni ini;
  MakeIni(ini);
  std::string trailing;
  struct stat st {};
  if (stat(FFileName.c_str(), &st) == 0) {
    // Whatever the file holds is written back, so it must be read whole first.
    auto old = ReadWholeFile(FFileName);
    if (!old || ini.LoadData(*old) < 0) RaiseWriteError(FFileName);
    trailing = TrailingComments(*old);
  }
  if (ini.SetValue(section.c_str(), ident.c_str(), value.c_str()) < 0) RaiseWriteError(FFileName);
  std::string text;
  if (ini.Save(text) < 0) RaiseWriteError(FFileName);
  if (!trailing.empty() && text.find(trailing) == std::string::npos) text += trailing;
  ReplaceFile(FFileName, text);
}

void TIniFile::WriteInteger(const std::string& section, const std::string& ident,
                            std::int32_t value) {
  WriteString(section, ident, std::to_string(value));
}

}  // namespace velora
