#include "relay/core/filter_index.h"

#include <utility>

void FilterIndex::Join(ElementIndex session, const std::string& sourceIp,
                       const std::string& textFilter) {
  const TextFilters::Id filter = Filters.Hold(textFilter);
  Group& group = (sourceIp.empty() ? AnySource : BySource[sourceIp])[filter];
  if (group.Members.empty()) group = {{}, sourceIp, filter};
  if (Places.size() <= static_cast<std::size_t>(session)) Places.resize(session + 1u);
  Places[session] = {&group, static_cast<std::uint32_t>(group.Members.size())};
  group.Members.push_back(session);
}

void FilterIndex::Leave(ElementIndex session) {
  if (static_cast<std::size_t>(session) >= Places.size() || !Places[session].In) return;
  const Place place = std::exchange(Places[session], {});
  Group& group = *place.In;
  const ElementIndex last = group.Members.back();
  group.Members[place.Slot] = last;
  Places[last].Slot = place.Slot;
  group.Members.pop_back();
  const TextFilters::Id filter = group.TextFilter;
  Filters.Release(filter);
  if (!group.Members.empty()) return;
  if (group.SourceIp.empty()) {
    AnySource.erase(filter);
    return;
  }
  const auto source = BySource.find(group.SourceIp);
  source->second.erase(filter);
  if (source->second.empty()) BySource.erase(source);
}
