// Stand-in for the component base of the desktop toolkit the MIDI units were designed against:
// an owner tree, a name, the design and loading states, and published properties read and
// written by name as text, in declaration order, with declared storage defaults.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Sets.h"
#include "platform/SysUtils.h"

namespace velora {

class TObject {
 public:
  virtual ~TObject() = default;
};

class TPersistent : public TObject {};

using TNotifyEvent = std::function<void(TObject* Sender)>;

enum TComponentStateItem : std::uint8_t {
  csLoading,
  csReading,
  csWriting,
  csDestroying,
  csDesigning,
};
template <>
struct TEnumInfo<TComponentStateItem> {
  static constexpr std::array<std::string_view, 5> Names = {"csLoading", "csReading", "csWriting",
                                                            "csDestroying", "csDesigning"};
};
using TComponentState = TSet<TComponentStateItem, std::uint8_t>;

class TComponent;

// One published property. Events carry AssignEvent instead of Set and read back as the name
// of the handler they were bound to by a description ("" when assigned in code or unassigned).
struct TPropertyInfo {
  std::string Name;
  std::function<std::string(const TComponent&)> Get;
  std::function<void(TComponent&, const std::string&)> Set;  // empty: read only
  std::optional<std::string> Default;  // declared storage default; none: always stored
  std::function<void(TComponent&, TNotifyEvent)> AssignEvent;  // set for event properties

  bool IsEvent() const { return static_cast<bool>(AssignEvent); }
  bool IsReadOnly() const { return !Set && !AssignEvent; }
};

// Maps a handler name found in a description to the handler (empty: no such handler).
using THandlerResolver = std::function<TNotifyEvent(const std::string& HandlerName)>;

class TComponent : public TPersistent {
 public:
  explicit TComponent(TComponent* AOwner);
  ~TComponent() override;  // destroys the owned components, the newest first
  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;

  TComponent* Owner() const { return FOwner; }
  const std::vector<TComponent*>& Components() const { return FComponents; }
  TComponent* FindComponent(std::string_view name) const;

  const std::string& Name() const { return FName; }
  void SetName(const std::string& value);
  std::int32_t Tag() const { return FTag; }
  void SetTag(std::int32_t value) { FTag = value; }

  TComponentState ComponentState() const { return FComponentState; }
  // Puts the component (and those it owns later) in the design state: no devices, no windows.
  void SetDesigning(bool value);

  // Published properties in declaration order: Name and Tag first, then the class's own.
  std::vector<TPropertyInfo> PublishedProperties() const;
  std::string GetPropertyText(std::string_view name) const;
  void SetPropertyText(std::string_view name, const std::string& value);
  // A property is stored unless it equals its declared storage default.
  bool IsPropertyStored(std::string_view name) const;

  // "Property = value" lines of every stored property, in declaration order.
  std::string SaveToText() const;
  // Sets the properties that `description` names, with csLoading set while it loads; events
  // are bound through `resolver`. Blank lines and lines starting with '#' are skipped.
  // A value in single quotes keeps its blanks ('' stands for one quote).
  void LoadFromText(std::string_view description, const THandlerResolver& resolver = {});

 protected:
  // Subclasses call their base first, then append their own published properties.
  virtual void DefineProperties(std::vector<TPropertyInfo>& list) const;
  // Runs after LoadFromText has set every property, still in the loading state.
  virtual void Loaded() {}

  // Parsers for property setters; they raise Exception naming the property on bad text.
  static std::uint32_t ParseUnsigned(const std::string& text, std::string_view property,
                                     std::uint32_t max);
  static std::int32_t ParseInteger(const std::string& text, std::string_view property);
  static bool ParseBoolean(const std::string& text, std::string_view property);
  static std::string BooleanText(bool value) { return value ? "True" : "False"; }

 private:
  const TPropertyInfo& FindProperty(const std::vector<TPropertyInfo>& list,
                                    std::string_view name) const;

  TComponent* FOwner = nullptr;
  std::vector<TComponent*> FComponents;
  std::string FName;
  std::int32_t FTag = 0;
  TComponentState FComponentState;
  std::map<std::string, std::string, std::less<>> FHandlerNames;
};

}  // namespace velora
