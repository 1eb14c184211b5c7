// Small bit sets over one-byte enumerations (member n is bit n) and run-time member names.
#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

namespace velora {

// Specialise with a static constexpr array `Names` listing the members in value order.
template <typename E>
struct TEnumInfo;

template <typename E>
constexpr std::size_t EnumCount() {
  return TEnumInfo<E>::Names.size();
}

// The member's name, or an empty string for a value without a member.
template <typename E>
std::string EnumName(E value) {
  const auto index = static_cast<std::size_t>(value);
  if (index >= EnumCount<E>()) return {};
  return std::string(TEnumInfo<E>::Names[index]);
}

// The member named `name` (exact, case-sensitive), or nothing.
template <typename E>
std::optional<E> EnumFromName(std::string_view name) {
  for (std::size_t i = 0; i < EnumCount<E>(); ++i)
    if (TEnumInfo<E>::Names[i] == name) return static_cast<E>(i);
  return std::nullopt;
}

// A set of the members of E (an enumeration or an integer range), stored in Storage.
template <typename E, typename Storage>
class TSet {
  static_assert(std::is_unsigned_v<Storage>);

 public:
  using Element = E;
  using StorageType = Storage;
  static constexpr unsigned Width = sizeof(Storage) * 8;

  constexpr TSet() = default;
  constexpr TSet(std::initializer_list<E> members) {
    for (E m : members) Include(m);
  }
  static constexpr TSet FromBits(Storage bits) {
    TSet s;
    s.FBits = bits;
    return s;
  }

  constexpr Storage Bits() const { return FBits; }
  constexpr bool Contains(E m) const { return (FBits & Mask(m)) != 0; }
  constexpr bool Empty() const { return FBits == 0; }
  constexpr void Include(E m) { FBits = static_cast<Storage>(FBits | Mask(m)); }
  constexpr void Exclude(E m) { FBits = static_cast<Storage>(FBits & ~Mask(m)); }
  constexpr bool operator==(const TSet&) const = default;
  constexpr TSet operator+(TSet other) const {
    return FromBits(static_cast<Storage>(FBits | other.FBits));
  }
  constexpr TSet operator-(TSet other) const {
    return FromBits(static_cast<Storage>(FBits & ~other.FBits));
  }
  constexpr TSet operator*(TSet other) const {
    return FromBits(static_cast<Storage>(FBits & other.FBits));
  }

 private:
  static constexpr unsigned Index(E m) { return static_cast<unsigned>(m); }
  // A value beyond the storage is no member (and no undefined shift).
  static constexpr Storage Mask(E m) {
    return Index(m) < Width ? static_cast<Storage>(1ull << Index(m)) : Storage{0};
  }
  Storage FBits = 0;
};

// "[a,b]" with member names in value order; needs TEnumInfo<E>.
template <typename E, typename S>
std::string SetToText(TSet<E, S> set) {
  std::string text = "[";
  bool first = true;
  for (std::size_t i = 0; i < EnumCount<E>(); ++i) {
    if (!set.Contains(static_cast<E>(i))) continue;
    if (!first) text += ',';
    text += TEnumInfo<E>::Names[i];
    first = false;
  }
  return text + "]";
}

// Parses "[a, b]" (blanks allowed); nothing on an unknown member or a malformed text.
template <typename E, typename S>
std::optional<TSet<E, S>> SetFromText(std::string_view text) {
  auto trim = [](std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
  };
  text = trim(text);
  if (text.size() < 2 || text.front() != '[' || text.back() != ']') return std::nullopt;
  text = trim(text.substr(1, text.size() - 2));
  TSet<E, S> set;
  while (!text.empty()) {
    const auto comma = text.find(',');
    const auto item = trim(text.substr(0, comma));
    const auto member = EnumFromName<E>(item);
    if (!member) return std::nullopt;
    set.Include(*member);
    if (comma == std::string_view::npos) break;
    text = trim(text.substr(comma + 1));
    if (text.empty()) return std::nullopt;
  }
  return set;
}

}  // namespace velora
