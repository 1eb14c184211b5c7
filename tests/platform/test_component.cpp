// The component base: owner tree, published properties by name, storage defaults, loading a
// description (with its loading state) and binding events by handler name.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "midi/MidiType.h"
#include "platform/Component.h"

namespace velora {
namespace {

// A small component with one property of each kind the MIDI components publish.
class TProbe : public TComponent {
 public:
  explicit TProbe(TComponent* AOwner, int* destroyed = nullptr)
      : TComponent(AOwner), FDestroyed(destroyed) {}
  ~TProbe() override {
    if (FDestroyed) ++*FDestroyed;
  }

  std::uint16_t Capacity() const { return FCapacity; }
  void SetCapacity(std::uint16_t value) {
    FSetWhileLoading.push_back(ComponentState().Contains(csLoading));
    FCapacity = value;
  }
  TMidiMsgFilter FilteredMessages() const { return FFilteredMessages; }
  void SetFilteredMessages(TMidiMsgFilter value) { FFilteredMessages = value; }

  std::uint16_t FCapacity = 1024;
  bool FSysexOnly = false;
  TMidiMsgFilter FFilteredMessages;
  std::string FCaption;
  TNotifyEvent FOnPing;
  std::vector<bool> FSetWhileLoading;
  std::vector<bool> FLoadedWhileLoading;

 protected:
  void DefineProperties(std::vector<TPropertyInfo>& list) const override {
    TComponent::DefineProperties(list);
    list.push_back({"Capacity",
                    [](const TComponent& c) {
                      return std::to_string(static_cast<const TProbe&>(c).Capacity());
                    },
                    [](TComponent& c, const std::string& v) {
                      static_cast<TProbe&>(c).SetCapacity(
                          static_cast<std::uint16_t>(ParseUnsigned(v, "Capacity", 5461)));
                    },
                    std::string("1024"),
                    {}});
    list.push_back(
        {"SysexOnly",
         [](const TComponent& c) { return BooleanText(static_cast<const TProbe&>(c).FSysexOnly); },
         [](TComponent& c, const std::string& v) {
           static_cast<TProbe&>(c).FSysexOnly = ParseBoolean(v, "SysexOnly");
         },
         std::string("False"),
         {}});
    list.push_back({"FilteredMessages",
                    [](const TComponent& c) {
                      return SetToText(static_cast<const TProbe&>(c).FilteredMessages());
                    },
                    [](TComponent& c, const std::string& v) {
                      const auto set = SetFromText<TMidiMsg, std::uint8_t>(v);
                      if (!set) throw Exception("'" + v + "' is not a valid value");
                      static_cast<TProbe&>(c).SetFilteredMessages(*set);
                    },
                    std::string("[]"),
                    {}});
    list.push_back(
        {"Caption",
         [](const TComponent& c) { return static_cast<const TProbe&>(c).FCaption; },
         [](TComponent& c, const std::string& v) { static_cast<TProbe&>(c).FCaption = v; },
         std::nullopt,
         {}});
    list.push_back({"Version", [](const TComponent&) { return std::string("1.0"); }, {}, {}, {}});
    list.push_back({"OnPing", {}, {}, {}, [](TComponent& c, TNotifyEvent e) {
                      static_cast<TProbe&>(c).FOnPing = std::move(e);
                    }});
  }
  void Loaded() override { FLoadedWhileLoading.push_back(ComponentState().Contains(csLoading)); }

 private:
  int* FDestroyed;
};

std::vector<std::string> Names(const TComponent& c) {
  std::vector<std::string> names;
  for (const auto& p : c.PublishedProperties()) names.push_back(p.Name);
  return names;
}

TEST(Component, PropertiesInDeclarationOrderReadAndWrittenByName) {
  TProbe probe(nullptr);
  EXPECT_EQ(Names(probe),
            (std::vector<std::string>{"Name", "Tag", "Capacity", "SysexOnly", "FilteredMessages",
                                      "Caption", "Version", "OnPing"}));
  probe.SetPropertyText("Capacity", "64");
  EXPECT_EQ(probe.Capacity(), 64);
  EXPECT_EQ(probe.GetPropertyText("Capacity"), "64");
  probe.SetPropertyText("FilteredMessages", "[msgActiveSensing,msgMidiTimeCode]");
  EXPECT_EQ(probe.FilteredMessages(), (TMidiMsgFilter{msgActiveSensing, msgMidiTimeCode}));
  probe.SetPropertyText("FilteredMessages", "[msgMidiTimeCode]");
  EXPECT_EQ(probe.GetPropertyText("FilteredMessages"), "[msgMidiTimeCode]");

  // Refusals leave the value as it was.
  const std::pair<const char*, const char*> refused[] = {
      {"Capacity", "5462"},  {"Capacity", "-1"},          {"Capacity", "12abc"},
      {"Capacity", ""},      {"FilteredMessages", "[x]"}, {"Version", "2.0"},
      {"OnPing", "Handler"}, {"NoSuchProperty", "1"},     {"SysexOnly", "yes"},
  };
  for (const auto& [name, value] : refused)
    EXPECT_THROW(probe.SetPropertyText(name, value), Exception) << name << " = " << value;
  EXPECT_EQ(probe.Capacity(), 64);
  EXPECT_EQ(probe.FilteredMessages(), TMidiMsgFilter{msgMidiTimeCode});
  EXPECT_THROW(probe.GetPropertyText("NoSuchProperty"), Exception);
}

TEST(Component, DefaultsAreNotStoredAndSavedTextLoadsBack) {
  TProbe probe(nullptr);
  EXPECT_EQ(probe.SaveToText(), "Caption = ''\n");  // no default declared: always stored
  for (const char* name :
       {"Name", "Tag", "Capacity", "SysexOnly", "FilteredMessages", "Version", "OnPing"})
    EXPECT_FALSE(probe.IsPropertyStored(name)) << name;

  probe.SetName("MidiSynthToPC");
  probe.SetCapacity(2048);
  probe.FSysexOnly = true;
  probe.SetFilteredMessages({msgActiveSensing});
  probe.FCaption = "it's spaced\t";
  const std::string saved = probe.SaveToText();
  EXPECT_EQ(saved,
            "Name = MidiSynthToPC\nCapacity = 2048\nSysexOnly = True\n"
            "FilteredMessages = [msgActiveSensing]\nCaption = 'it''s spaced\t'\n");

  TProbe copy(nullptr);
  copy.LoadFromText(saved);
  EXPECT_EQ(copy.SaveToText(), saved);
  EXPECT_EQ(copy.FCaption, "it's spaced\t");

  probe.SetCapacity(1024);  // back at its default: no longer stored
  EXPECT_FALSE(probe.IsPropertyStored("Capacity"));
}

TEST(Component, LoadingStateHoldsWhileLoadingOnly) {
  TProbe probe(nullptr);
  probe.SetCapacity(10);
  probe.LoadFromText("# a comment\n\n  Capacity = 20  \r\nFilteredMessages=[ msgMidiTimeCode ]\n");
  probe.SetCapacity(30);
  EXPECT_EQ(probe.FSetWhileLoading, (std::vector<bool>{false, true, false}));
  EXPECT_EQ(probe.FLoadedWhileLoading, (std::vector<bool>{true}));
  EXPECT_EQ(probe.FilteredMessages(), TMidiMsgFilter{msgMidiTimeCode});
  EXPECT_FALSE(probe.ComponentState().Contains(csLoading));

  // A description that fails part way leaves the loading state too.
  for (const char* bad : {"Capacity = 40\nCapacity = many\n", "Capacity 40\n", "Unknown = 1\n"}) {
    EXPECT_THROW(probe.LoadFromText(bad), Exception) << bad;
    EXPECT_FALSE(probe.ComponentState().Contains(csLoading)) << bad;
    EXPECT_FALSE(probe.ComponentState().Contains(csReading)) << bad;
  }
}

TEST(Component, EventsAreBoundByHandlerNameThroughTheResolver) {
  TProbe probe(nullptr);
  std::vector<TObject*> pinged;
  std::vector<std::string> asked;
  const THandlerResolver resolver = [&](const std::string& name) -> TNotifyEvent {
    asked.push_back(name);
    if (name != "ProbePing") return {};
    return [&](TObject* sender) { pinged.push_back(sender); };
  };
  probe.LoadFromText("OnPing = ProbePing\n", resolver);
  EXPECT_EQ(asked, (std::vector<std::string>{"ProbePing"}));
  ASSERT_TRUE(probe.FOnPing);
  probe.FOnPing(&probe);
  EXPECT_EQ(pinged, (std::vector<TObject*>{&probe}));
  EXPECT_EQ(probe.GetPropertyText("OnPing"), "ProbePing");
  EXPECT_TRUE(probe.IsPropertyStored("OnPing"));
  EXPECT_EQ(probe.SaveToText(), "Caption = ''\nOnPing = ProbePing\n");

  TProbe other(nullptr);
  EXPECT_THROW(other.LoadFromText("OnPing = Missing\n", resolver), Exception);
  EXPECT_THROW(other.LoadFromText("OnPing = ProbePing\n"), Exception);  // no resolver
  EXPECT_FALSE(other.FOnPing);
  EXPECT_EQ(other.GetPropertyText("OnPing"), "");
}

TEST(Component, OwnerDestroysWhatItOwns) {
  int destroyed = 0;
  auto* owner = new TProbe(nullptr, &destroyed);
  owner->SetDesigning(true);
  auto* first = new TProbe(owner, &destroyed);
  auto* second = new TProbe(owner, &destroyed);
  auto* grandchild = new TProbe(second, &destroyed);
  first->SetName("First");
  second->SetName("Second");
  EXPECT_EQ(owner->Components(), (std::vector<TComponent*>{first, second}));
  EXPECT_EQ(grandchild->Owner(), second);
  EXPECT_EQ(owner->FindComponent("Second"), second);
  EXPECT_EQ(owner->FindComponent("Third"), nullptr);
  EXPECT_TRUE(grandchild->ComponentState().Contains(csDesigning));  // taken from the owner
  EXPECT_THROW(second->SetName("First"), Exception);  // names are unique among siblings
  EXPECT_EQ(second->Name(), "Second");

  delete first;  // leaves its owner's list
  EXPECT_EQ(destroyed, 1);
  EXPECT_EQ(owner->Components(), (std::vector<TComponent*>{second}));
  delete owner;  // takes second and its grandchild along, each once
  EXPECT_EQ(destroyed, 4);
}

}  // namespace
}  // namespace velora
