#include "platform/Component.h"

#include <algorithm>
#include <charconv>

namespace velora {

namespace {

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r'))
    s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
    s.remove_suffix(1);
  return s;
}

std::string Unquote(std::string_view value) {
  if (value.size() < 2 || value.front() != '\'' || value.back() != '\'') return std::string(value);
  std::string out;
  for (std::size_t i = 1; i + 1 < value.size(); ++i) {
    out += value[i];
    if (value[i] == '\'' && i + 2 < value.size() && value[i + 1] == '\'') ++i;
  }
  return out;
}

std::string QuoteIfNeeded(const std::string& value) {
  // Loading trims blanks, tabs and carriage returns at both ends; quotes keep them.
  auto trimmed = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
  const bool needs = value.empty() || trimmed(value.front()) || trimmed(value.back()) ||
                     value.front() == '\'' || value.find('\n') != std::string::npos;
  if (!needs) return value;
  std::string out = "'";
  for (char c : value) {
    if (c == '\'') out += '\'';
    out += c;
  }
  return out + "'";
}

}  // namespace

TComponent::TComponent(TComponent* AOwner) : FOwner(AOwner) {
  if (FOwner) {
    FOwner->FComponents.push_back(this);
    if (FOwner->FComponentState.Contains(csDesigning)) FComponentState.Include(csDesigning);
  }
}

TComponent::~TComponent() {
  FComponentState.Include(csDestroying);
  while (!FComponents.empty()) {
    TComponent* child = FComponents.back();
    FComponents.pop_back();
    child->FOwner = nullptr;
    delete child;
  }
  if (FOwner) {
    auto& siblings = FOwner->FComponents;
    siblings.erase(std::remove(siblings.begin(), siblings.end(), this), siblings.end());
  }
}

TComponent* TComponent::FindComponent(std::string_view name) const {
  for (TComponent* c : FComponents)
    if (c->FName == name) return c;
  return nullptr;
}

void TComponent::SetName(const std::string& value) {
  if (value == FName) return;
  if (!value.empty() && FOwner && FOwner->FindComponent(value))
    throw Exception("A component named " + value + " already exists");
  FName = value;
}

void TComponent::SetDesigning(bool value) {
  if (value)
    FComponentState.Include(csDesigning);
  else
    FComponentState.Exclude(csDesigning);
}

void TComponent::DefineProperties(std::vector<TPropertyInfo>& list) const {
  list.push_back({"Name",
                  [](const TComponent& c) { return c.Name(); },
                  [](TComponent& c, const std::string& v) { c.SetName(v); },
                  std::string(),
                  {}});
  list.push_back({"Tag",
                  [](const TComponent& c) { return std::to_string(c.Tag()); },
                  [](TComponent& c, const std::string& v) { c.SetTag(ParseInteger(v, "Tag")); },
                  std::string("0"),
                  {}});
}

std::vector<TPropertyInfo> TComponent::PublishedProperties() const {
  std::vector<TPropertyInfo> list;
  DefineProperties(list);
  return list;
}

const TPropertyInfo& TComponent::FindProperty(const std::vector<TPropertyInfo>& list,
                                              std::string_view name) const {
  for (const auto& p : list)
    if (p.Name == name) return p;
  throw Exception("Property " + std::string(name) + " does not exist");
}

std::string TComponent::GetPropertyText(std::string_view name) const {
  const auto list = PublishedProperties();
  const auto& p = FindProperty(list, name);
  if (p.IsEvent()) {
    const auto it = FHandlerNames.find(p.Name);
    return it == FHandlerNames.end() ? std::string() : it->second;
  }
  return p.Get(*this);
}

void TComponent::SetPropertyText(std::string_view name, const std::string& value) {
  const auto list = PublishedProperties();
  const auto& p = FindProperty(list, name);
  if (p.IsEvent())
    throw Exception("Property " + p.Name + " is an event; bind it by loading a description");
  if (!p.Set) throw Exception("Property " + p.Name + " is read-only");
  p.Set(*this, value);
}

bool TComponent::IsPropertyStored(std::string_view name) const {
  const auto list = PublishedProperties();
  const auto& p = FindProperty(list, name);
  if (p.IsEvent()) return FHandlerNames.count(p.Name) != 0;
  if (p.IsReadOnly()) return false;
  return !p.Default || p.Get(*this) != *p.Default;
}

std::string TComponent::SaveToText() const {
  std::string text;
  for (const auto& p : PublishedProperties()) {
    if (!IsPropertyStored(p.Name)) continue;
    text += p.Name + " = " + QuoteIfNeeded(GetPropertyText(p.Name)) + "\n";
  }
  return text;
}

void TComponent::LoadFromText(std::string_view description, const THandlerResolver& resolver) {
  struct LoadingState {
    TComponentState& state;
    explicit LoadingState(TComponentState& s) : state(s) {
      state.Include(csLoading);
      state.Include(csReading);
    }
    ~LoadingState() {
      state.Exclude(csReading);
      state.Exclude(csLoading);
    }
  } loading(FComponentState);

  const auto list = PublishedProperties();
  std::size_t lineNo = 0;
  while (!description.empty()) {
    const auto eol = description.find('\n');
    const auto line = Trim(description.substr(0, eol));
    description = eol == std::string_view::npos ? std::string_view() : description.substr(eol + 1);
    ++lineNo;
    if (line.empty() || line.front() == '#') continue;
    const auto eq = line.find('=');
    if (eq == std::string_view::npos)
      throw Exception("Line " + std::to_string(lineNo) + " of the description has no '='");
    const auto name = Trim(line.substr(0, eq));
    const auto value = Unquote(Trim(line.substr(eq + 1)));
    const auto& p = FindProperty(list, name);
    if (p.IsEvent()) {
      TNotifyEvent handler = resolver ? resolver(value) : TNotifyEvent();
      if (!handler) throw Exception("Handler " + value + " for " + p.Name + " does not exist");
      p.AssignEvent(*this, std::move(handler));
      FHandlerNames[p.Name] = value;
    } else if (p.Set) {
      p.Set(*this, value);
    } else {
      throw Exception("Property " + p.Name + " is read-only");
    }
  }
  Loaded();
}

std::uint32_t TComponent::ParseUnsigned(const std::string& text, std::string_view property,
                                        std::uint32_t max) {
  const auto s = Trim(text);
  std::uint64_t value = 0;
  const auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
  if (s.empty() || ec != std::errc() || ptr != s.data() + s.size() || value > max)
    throw Exception("'" + text + "' is not a valid value for " + std::string(property));
  return static_cast<std::uint32_t>(value);
}

std::int32_t TComponent::ParseInteger(const std::string& text, std::string_view property) {
  const auto s = Trim(text);
  std::int32_t value = 0;
  const auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
  if (s.empty() || ec != std::errc() || ptr != s.data() + s.size())
    throw Exception("'" + text + "' is not a valid value for " + std::string(property));
  return value;
}

bool TComponent::ParseBoolean(const std::string& text, std::string_view property) {
  const auto s = Trim(text);
  if (s == "True" || s == "true") return true;
  if (s == "False" || s == "false") return false;
  throw Exception("'" + text + "' is not a valid value for " + std::string(property));
}

}  // namespace velora
