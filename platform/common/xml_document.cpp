// The XML document object on pugixml, standing in for the platform's DOM.
#include "platform/xml_document.h"

#include <pugixml.hpp>

namespace platform {
namespace {

pugi::xml_node NodeOf(void* raw) { return pugi::xml_node(static_cast<pugi::xml_node_struct*>(raw)); }
void* RawOf(pugi::xml_node node) { return node.internal_object(); }

}  // namespace

std::string XmlElement::Name() const { return node_ ? NodeOf(node_).name() : ""; }

XmlElement XmlElement::FirstChild(std::string_view name) const {
  if (!node_) return {};
  for (pugi::xml_node child : NodeOf(node_).children()) {
    if (child.type() == pugi::node_element && name == child.name()) return XmlElement(RawOf(child));
  }
  return {};
}

XmlElement XmlElement::AppendChild(std::string_view name) {
  if (!node_) return {};
  pugi::xml_node child = NodeOf(node_).append_child(pugi::node_element);
  child.set_name(std::string(name).c_str());
  return XmlElement(RawOf(child));
}

bool XmlElement::RemoveChild(XmlElement child) {
  if (!node_ || !child) return false;
  return NodeOf(node_).remove_child(NodeOf(child.node_));
}

XmlElement XmlElement::Parent() const {
  if (!node_) return {};
  pugi::xml_node parent = NodeOf(node_).parent();
  if (!parent || parent.type() != pugi::node_element) return {};
  return XmlElement(RawOf(parent));
}

std::string XmlElement::Text() const { return node_ ? NodeOf(node_).text().get() : ""; }

void XmlElement::SetText(std::string_view text) {
  if (node_) NodeOf(node_).text().set(std::string(text).c_str());
}

struct XmlDocument::Impl {
  pugi::xml_document doc;
};

XmlDocument::XmlDocument() : impl_(std::make_unique<Impl>()) {}
XmlDocument::~XmlDocument() = default;

bool XmlDocument::Load(const std::string& path) {
  pugi::xml_parse_result result = impl_->doc.load_file(path.c_str());
  if (!result) impl_->doc.reset();
  return static_cast<bool>(result);
}

bool XmlDocument::Save(const std::string& path) const {
  return impl_->doc.save_file(path.c_str(), "  ");
}

XmlElement XmlDocument::Root() const {
  pugi::xml_node root = impl_->doc.document_element();
  return root ? XmlElement(RawOf(root)) : XmlElement();
}

XmlElement XmlDocument::CreateRoot(std::string_view name) {
  pugi::xml_node root = impl_->doc.append_child(pugi::node_element);
  root.set_name(std::string(name).c_str());
  return XmlElement(RawOf(root));
}

}  // namespace platform
