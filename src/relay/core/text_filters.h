#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "relay/core/substring_automaton.h"

// The TextFilters that sessions asked for, each held once however many sessions share it, and
// searched for together: one pass over an event's text finds every filter it contains, whatever
// the number of filters.
//
// The automaton is built at a search, never when a filter comes or goes, so that admission and
// teardown stay cheap. Filters that came since the last build are searched for one by one: a few
// of them for good, more until those searches have cost about what a build would. One that went
// stays in the automaton (found for nobody) until more than half of it has gone. So the work for
// a change is paid once, and clients that come and go with filters of their own leave nothing
// behind.
class TextFilters {
 public:
  using Id = std::uint32_t;
  static constexpr Id Empty = 0;  // the empty filter, which every event passes

  // The id of text's filter, held once more; Release lets one holding go.
  Id Hold(const std::string& text);
  void Release(Id id);

  // Finds the held filters that text contains; Matched lists them, Empty first.
  void Search(std::string_view text);
  const std::vector<Id>& Matched() const { return Found; }
  bool IsMatched(Id id) const { return Filters[id].MatchedIn == Searches; }

 private:
  static constexpr std::uint32_t Built = ~std::uint32_t{0};
  struct Filter {
    std::string Text;
    std::uint32_t Holders = 0;
    std::uint32_t Slot = Built;  // its place in Unbuilt, or Built when the automaton has it
    std::uint64_t MatchedIn = 0;  // the last search that found it
  };

  void Build();
  void Note(Id id);

  std::vector<Filter> Filters{Filter{}};  // by id; id 0 is the empty filter
  std::vector<Id> FreeIds;
  // Every filter that is held or in the automaton; one that went is kept until the next build,
  // so that its id stays with its text while the automaton can still find it.
  std::unordered_map<std::string, Id> ByText;
  std::vector<Id> Unbuilt;     // held and not yet in the automaton
  std::size_t InAutomaton = 0;  // filters it has, held or not
  std::size_t Gone = 0;         // of those, the ones no longer held
  std::size_t TextBytes = 0;    // of every filter in ByText: what a build goes through
  std::uint64_t UnbuiltCost = 0;  // bytes searched filter by filter since the last build
  SubstringAutomaton Automaton;
  std::uint64_t Searches = 0;
  std::vector<Id> Found;
};
