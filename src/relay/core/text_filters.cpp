#include "relay/core/text_filters.h"

TextFilters::Handle TextFilters::Intern(const std::string& text) {
  std::weak_ptr<Filter>& held = Held[text];
  if (Handle filter = held.lock()) return filter;
  Handle filter(new Filter{text}, [this](Filter* unused) {
    Held.erase(unused->Text);
    delete unused;
  });
  held = filter;
  return filter;
}

bool TextFilters::Matches(Filter& filter, std::uint64_t event, const std::string& eventText) {
  if (filter.Event != event) {
    filter.Event = event;
    filter.Matches = eventText.find(filter.Text) != std::string::npos;
  }
  return filter.Matches;
}
