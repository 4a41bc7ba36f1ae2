#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "relay/core/socket_control.h"
#include "relay/core/text_filters.h"

// The streaming sessions grouped by their two filters: sessions with the same source_ip and
// TextFilter share a group. An event finds its groups with one lookup of its sender's address
// and one search of its text for all the TextFilters, so that it costs what its receivers and the
// distinct filters cost, not what every session would.
class FilterIndex {
 public:
  // A session enters once, when it starts streaming, and may leave any number of times.
  void Join(ElementIndex session, const std::string& sourceIp, const std::string& textFilter);
  void Leave(ElementIndex session);

  // Whether every session takes every event: none filters, as when all of them watch everything.
  bool AcceptsEverything() const {
    return BySource.empty() && AnySource.size() == 1 &&
           AnySource.begin()->first == TextFilters::Empty;
  }

  // Calls take(session) for every session whose filters accept the event text; sender() gives
  // the text of its sender's address and is asked only when a group filters by sender. Groups
  // come in no particular order; take must not change the index.
  template <class Sender, class Take>
  void ForEachAccepting(std::string_view text, Sender&& sender, Take&& take) {
    Filters.Search(text);
    TakeMatching(AnySource, take);
    if (BySource.empty()) return;
    if (const auto at = BySource.find(sender()); at != BySource.end())
      TakeMatching(at->second, take);
  }

 private:
  struct Group {
    std::vector<ElementIndex> Members;
    std::string SourceIp;
    TextFilters::Id TextFilter = TextFilters::Empty;
  };
  using Groups = std::unordered_map<TextFilters::Id, Group>;  // of one source_ip, by TextFilter
  struct Place {
    Group* In = nullptr;
    std::uint32_t Slot = 0;  // in its group's Members
  };

  // Goes through the fewer of the groups and the matched filters.
  template <class Take>
  void TakeMatching(const Groups& groups, Take& take) {
    const std::vector<TextFilters::Id>& matched = Filters.Matched();
    if (groups.size() < matched.size()) {
      for (const auto& [filter, group] : groups) {
        if (Filters.IsMatched(filter)) TakeAll(group, take);
      }
      return;
    }
    for (const TextFilters::Id filter : matched) {
      if (const auto at = groups.find(filter); at != groups.end()) TakeAll(at->second, take);
    }
  }
  template <class Take>
  static void TakeAll(const Group& group, Take& take) {
    for (const ElementIndex session : group.Members) take(session);
  }

  TextFilters Filters;  // before the groups that hold them
  Groups AnySource;     // no source_ip
  std::unordered_map<std::string, Groups> BySource;
  std::vector<Place> Places;  // by element index
};
