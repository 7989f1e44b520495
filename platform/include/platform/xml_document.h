// An XML document object: the small part of a DOM that the profile store needs.
// Elements are cheap handles into the document; a default handle means "no element".
#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace platform {

class XmlElement {
 public:
  XmlElement() = default;
  explicit operator bool() const { return node_ != nullptr; }

  std::string Name() const;
  XmlElement FirstChild(std::string_view name) const;  // first child element with that name
  XmlElement AppendChild(std::string_view name);       // new last child element
  bool RemoveChild(XmlElement child);
  XmlElement Parent() const;
  std::string Text() const;  // the text content, empty when none
  void SetText(std::string_view text);

 private:
  friend class XmlDocument;
  explicit XmlElement(void* node) : node_(node) {}
  void* node_ = nullptr;
};

class XmlDocument {
 public:
  XmlDocument();
  ~XmlDocument();
  XmlDocument(const XmlDocument&) = delete;
  XmlDocument& operator=(const XmlDocument&) = delete;

  bool Load(const std::string& path);  // false for a missing or malformed file (document left empty)
  bool Save(const std::string& path) const;
  XmlElement Root() const;                          // the document element, or none
  XmlElement CreateRoot(std::string_view name);     // appends a document element

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace platform
