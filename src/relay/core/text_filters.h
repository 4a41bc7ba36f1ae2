#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>

// The TextFilters that sessions asked for, each held once however many sessions share it, so that
// an event is searched once per distinct filter rather than once per session (a fleet of viewers
// often shares one filter).
class TextFilters {
 public:
  struct Filter {
    const std::string Text;
    std::uint64_t Event = 0;  // the event that Matches was found for
    bool Matches = false;
  };
  using Handle = std::shared_ptr<Filter>;

  // The filter for text, shared with every other holder of the same text; it is forgotten when
  // its last holder lets it go.
  Handle Intern(const std::string& text);
  // Whether the event numbered event (numbers only grow) contains the filter's text.
  static bool Matches(Filter& filter, std::uint64_t event, const std::string& eventText);

 private:
  std::unordered_map<std::string, std::weak_ptr<Filter>> Held;
};
