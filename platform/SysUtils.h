// Runtime base exception and small helpers shared by every layer.
#pragma once

#include <stdexcept>
#include <string>

namespace velora {

// Message-carrying base class of every error that this system raises.
class Exception : public std::runtime_error {
 public:
  explicit Exception(const std::string& message) : std::runtime_error(message) {}
  std::string Message() const { return what(); }
};

}  // namespace velora
