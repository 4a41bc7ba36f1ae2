#include "relay/core/substring_automaton.h"

#include <algorithm>

std::uint32_t SubstringAutomaton::Child(std::uint32_t node, unsigned char byte) const {
  if (node == 0) return RootChild[byte];
  const auto first = Labels.begin() + Nodes[node].FirstChild;
  const auto last = first + Nodes[node].Children;
  const auto at = std::lower_bound(first, last, byte);
  return at != last && *at == byte ? static_cast<std::uint32_t>(at - Labels.begin()) : 0;
}

void SubstringAutomaton::Build(std::vector<Needle> needles) {
  // Sorted, the needles below a node are one run, and its children's runs follow by label.
  std::sort(needles.begin(), needles.end(),
            [](const Needle& a, const Needle& b) { return a.Text < b.Text; });
  Nodes.assign(1, Node{});
  Labels.assign(1, 0);
  Ends.assign(1, 0);
  struct Run {
    std::uint32_t Node;
    std::size_t Begin, End;  // the needles that start with the node's path
  };
  std::vector<Run> level{{0, 0, needles.size()}}, next;
  for (std::size_t depth = 0; !level.empty(); ++depth, level.swap(next)) {
    next.clear();
    for (Run run : level) {
      for (; run.Begin < run.End && needles[run.Begin].Text.size() == depth; ++run.Begin) {
        Nodes[run.Node].Output = run.Node;
        Ends[run.Node] = needles[run.Begin].Ident;
      }
      Nodes[run.Node].FirstChild = static_cast<std::uint32_t>(Nodes.size());
      while (run.Begin < run.End) {
        const char label = needles[run.Begin].Text[depth];
        std::size_t end = run.Begin;
        while (end < run.End && needles[end].Text[depth] == label) ++end;
        next.push_back({static_cast<std::uint32_t>(Nodes.size()), run.Begin, end});
        Nodes.emplace_back();
        Labels.push_back(static_cast<unsigned char>(label));
        Ends.push_back(0);
        run.Begin = end;
      }
      Nodes[run.Node].Children =
          static_cast<std::uint32_t>(Nodes.size()) - Nodes[run.Node].FirstChild;
    }
  }
  RootChild.fill(0);
  for (std::uint32_t k = 1; k <= Nodes[0].Children; ++k) RootChild[Labels[k]] = k;
  // Breadth-first, a node's Fail lies at a smaller depth and is final before the node needs it.
  for (std::uint32_t parent = 0; parent < Nodes.size(); ++parent) {
    for (std::uint32_t k = 0; k < Nodes[parent].Children; ++k) {
      const std::uint32_t child = Nodes[parent].FirstChild + k;
      std::uint32_t fail = 0;
      for (std::uint32_t from = parent; from != 0;) {
        from = Nodes[from].Fail;
        if ((fail = Child(from, Labels[child])) != 0) break;
      }
      Nodes[child].Fail = fail;
      if (Nodes[child].Output == None) Nodes[child].Output = Nodes[fail].Output;
    }
  }
  Seen.assign(Nodes.size(), 0);
}
