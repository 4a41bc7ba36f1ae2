#pragma once

#include <array>
#include <cstdint>
#include <string_view>
#include <vector>

// An Aho-Corasick automaton over a set of byte strings: one pass over a text finds every string
// of the set that the text contains, at the cost of the text's length and of what is found, not
// of the set's size. A set that changes is built anew.
class SubstringAutomaton {
 public:
  using Id = std::uint32_t;
  struct Needle {
    std::string_view Text;  // not empty, and no two alike; read only while building
    Id Ident;
  };

  SubstringAutomaton() { Build({}); }
  void Build(std::vector<Needle> needles);

  // Calls found(ident) once for each needle that text contains, in no particular order.
  template <class Found>
  void Search(std::string_view text, Found&& found) {
    ++Searches;
    std::uint32_t node = 0;
    for (const char c : text) {
      const auto byte = static_cast<unsigned char>(c);
      std::uint32_t next;
      while ((next = Child(node, byte)) == 0 && node != 0) node = Nodes[node].Fail;
      node = next;
      // A node reported in this search had its whole chain reported with it.
      for (std::uint32_t end = Nodes[node].Output; end != None && Seen[end] != Searches;
           end = Nodes[Nodes[end].Fail].Output) {
        Seen[end] = Searches;
        found(Ends[end]);
      }
    }
  }

 private:
  static constexpr std::uint32_t None = ~std::uint32_t{0};
  // Nodes stand in breadth-first order; a node's children are consecutive, ascending by label.
  struct Node {
    std::uint32_t FirstChild = 0;
    std::uint32_t Children = 0;
    std::uint32_t Fail = 0;  // the node of the longest proper suffix that is a node
    // The node itself when a needle ends there, else the first on its Fail chain that ends one.
    std::uint32_t Output = None;
  };

  // The child of node for byte, or 0 (the root is nobody's child).
  std::uint32_t Child(std::uint32_t node, unsigned char byte) const;

  std::vector<Node> Nodes;
  std::vector<unsigned char> Labels;  // the byte that leads to each node
  std::vector<Id> Ends;               // the needle that ends at each node, where one does
  std::vector<std::uint64_t> Seen;    // the search that last reported each node
  std::array<std::uint32_t, 256> RootChild{};  // most steps start from the root
  std::uint64_t Searches = 0;
};
