// An XML document object: the small part of a DOM that the profile store needs.
// Elements are cheap handles into the document; a default handle means "no element".
// A document read with LoadPreserving is written back as it was read wherever nobody changed
// it: declaration, DOCTYPE, comments, processing instructions, CDATA, whitespace, entity
// references and the file's encoding (see xml_document.cpp for the little a round trip cannot
// keep). Texts read and set through the handles are plain text either way.
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
  XmlElement(void* node, bool preserving) : node_(node), preserving_(preserving) {}
  void* node_ = nullptr;
  bool preserving_ = false;  // the document keeps texts as written (entity references undecoded)
};

// What LoadPreserving found at the path.
enum class XmlLoad {
  kLoaded,      // the document as read
  kMissing,     // no file, or one with nothing but white space: an empty document
  kUnreadable,  // a file that cannot be read or parsed: an empty document, and the reason
};

class XmlDocument {
 public:
  XmlDocument();
  ~XmlDocument();
  XmlDocument(const XmlDocument&) = delete;
  XmlDocument& operator=(const XmlDocument&) = delete;

  bool Load(const std::string& path);  // false for a missing or malformed file (document left empty)
  // Loads for a later save that keeps the file as it was outside what the caller changes.
  XmlLoad LoadPreserving(const std::string& path, std::string& error);
  // The same from bytes in memory; false (with the reason) leaves the document empty.
  bool ParsePreserving(std::string_view bytes, std::string& error);

  // The bytes Save writes: for a preserved document in its own encoding and style, otherwise
  // UTF-8 with a declaration, indented.
  std::string Bytes() const;
  // Replaces the file atomically (platform/file.h): on failure the old file stays, and `error`
  // says why.
  bool Save(const std::string& path, std::string& error) const;
  bool Save(const std::string& path) const;

  XmlElement Root() const;                          // the document element, or none
  XmlElement CreateRoot(std::string_view name);     // appends a document element

 private:
  void Clear();  // empties the document, as a failed read leaves it
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace platform
