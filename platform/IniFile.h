// The settings file object: a text file in the common INI layout, read and written by section
// and key, both matched without regard to letter case.
//
// Every read looks at the file as it is now and every write reaches the file before it returns;
// nothing is buffered. A write replaces the file as a whole through a temporary file beside it,
// so a crash or a full disk leaves either the old or the new file, never a truncated one.
// Sections, keys and comments that the caller never names are kept.
#pragma once

#include <cstdint>
#include <string>

#include "platform/SysUtils.h"

namespace velora {

class TIniFile {
 public:
  explicit TIniFile(std::string fileName);

  const std::string& FileName() const { return FFileName; }

  // A missing file, section or key reads as the default.
  std::string ReadString(const std::string& section, const std::string& ident,
                         const std::string& defaultValue) const;
  // A value that is not a whole number (decimal, or hexadecimal with "$" or "0x") or does not
  // fit 32 bits reads as the default.
  std::int32_t ReadInteger(const std::string& section, const std::string& ident,
                           std::int32_t defaultValue) const;

  // Creates the file, section or key when missing. Raises Exception "Unable to write to <path>"
  // when the file cannot be written; a file marked read-only is never replaced.
  void WriteString(const std::string& section, const std::string& ident, const std::string& value);
  void WriteInteger(const std::string& section, const std::string& ident, std::int32_t value);

 private:
  std::string FFileName;
};

// The integer that `text` holds as ReadInteger understands it, or `defaultValue`.
std::int32_t StrToIntDef(const std::string& text, std::int32_t defaultValue);

}  // namespace velora
