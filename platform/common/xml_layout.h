// Laying out an element the store adds or removes like its neighbours, so the user's file keeps
// its indentation: one algorithm over both XML back ends. `Tree` supplies, over a nullable,
// copyable `Tree::Node`:
//   Node PreviousSibling(Node), NextSibling(Node), FirstChild(Node), LastChild(Node);
//   Node DocumentElement(Node any);             the root element of `any`'s document
//   bool IsElement(Node), IsBlankText(Node);    a text node of white space alone
//   std::string Value(Node);                    a text node's characters
//   Node InsertElementAfter(Node parent, Node after, name);  null `after`: as the last child
//   void InsertTextBefore(Node parent, Node before, text);   null `before`: as the last child
//   void Remove(Node parent, Node child);
#pragma once

#include <string>
#include <string_view>

namespace platform::detail {

// The indentation one level adds in this document: what stands after the last line break
// before the root's first indented child; empty when the document is not indented.
template <typename Tree>
std::string IndentUnit(Tree& tree, typename Tree::Node any) {
  for (auto child = tree.FirstChild(tree.DocumentElement(any)); child; child = tree.NextSibling(child)) {
    if (!tree.IsElement(child)) continue;
    auto lead = tree.PreviousSibling(child);
    if (!lead || !tree.IsBlankText(lead)) return {};
    const std::string ws = tree.Value(lead);
    const std::size_t newline = ws.find_last_of('\n');
    return newline == std::string::npos ? std::string() : ws.substr(newline + 1);
  }
  return {};
}

// A new last child element laid out like its siblings: on a line of its own when they are.
template <typename Tree>
typename Tree::Node AppendLaidOut(Tree& tree, typename Tree::Node parent, std::string_view name) {
  using Node = typename Tree::Node;
  Node last_element{};
  for (Node c = tree.LastChild(parent); c; c = tree.PreviousSibling(c)) {
    if (tree.IsElement(c)) {
      last_element = c;
      break;
    }
  }
  if (last_element) {
    Node lead = tree.PreviousSibling(last_element);
    if (!lead || !tree.IsBlankText(lead)) return tree.InsertElementAfter(parent, Node{}, name);
    Node child = tree.InsertElementAfter(parent, last_element, name);
    if (child) tree.InsertTextBefore(parent, child, tree.Value(lead));
    return child;
  }
  // An empty element on a line of its own gets its first child one level further in.
  Node own_lead = tree.PreviousSibling(parent);
  if (!tree.FirstChild(parent) && own_lead && tree.IsBlankText(own_lead)) {
    const std::string lead = tree.Value(own_lead);
    const std::string unit = lead.find('\n') == std::string::npos ? std::string() : IndentUnit(tree, parent);
    if (!unit.empty()) {
      tree.InsertTextBefore(parent, Node{}, lead + unit);
      Node child = tree.InsertElementAfter(parent, Node{}, name);
      tree.InsertTextBefore(parent, Node{}, lead);
      return child;
    }
  }
  return tree.InsertElementAfter(parent, Node{}, name);
}

// Removes `child`, and the line it stood on with it, unless its indentation leads the next node.
template <typename Tree>
void RemoveLaidOut(Tree& tree, typename Tree::Node parent, typename Tree::Node child) {
  auto lead = tree.PreviousSibling(child);
  auto next = tree.NextSibling(child);
  if (lead && tree.IsBlankText(lead) && (!next || tree.IsBlankText(next))) tree.Remove(parent, lead);
  tree.Remove(parent, child);
}

}  // namespace platform::detail
