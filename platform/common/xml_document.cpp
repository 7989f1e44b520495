// The XML document object on pugixml, standing in for the platform's DOM.
//
// A preserved document (LoadPreserving) holds the user's whole machine set-up, so it is read
// and written back as literally as pugixml allows: every node kind and all whitespace are
// parsed (also around the root element: fragment mode, checked for a single root afterwards),
// texts and attribute values are kept as written (no entity decoding, no end-of-line or
// attribute-whitespace normalisation) and saved without escaping or re-indenting. The handles
// decode a text when it is read and escape it when it is set, so callers see plain text.
//
// Line ends (CR LF, LF, CR) are kept as they are in texts, comments and between nodes.
//
// Encodings: a file with a byte-order mark (UTF-8, UTF-16, UTF-32), or a UTF-16/32 start
// without one, is saved in its encoding, with its mark. Otherwise the file is ASCII-compatible; one declared in anything but UTF-8
// (GB2312, ISO-8859-1, windows-1252, ...) is read as Latin-1, which maps each byte to one
// character and back, so its bytes survive whatever they mean. Texts the plug-in sets are ASCII.
//
// What a round trip cannot keep, because pugixml writes one form for each of these:
//   - attribute quotes: one quote character for the whole document, the one the file uses; a
//     value holding that character (legal inside the other quotes) gets it as &quot; / &apos;;
//   - whitespace inside tags (line ends there too): one blank before each attribute, none
//     around '=' nor before '>'; the declaration's and processing instructions' likewise;
//   - empty elements: one form for the whole document, <a/>, <a /> or <a></a>; and with <a />
//     a newline where an element follows another with no whitespace between them;
//   - a Latin-1 document cannot take a character above U+00FF set through a handle ('?').
// The form of each is chosen at the save by writing the document in each and keeping the one
// whose bytes agree with the file as read the longest from its start and from its end, that is
// around what was changed: a file written consistently comes back byte for byte outside it.
#include "platform/xml_document.h"

#include <pugixml.hpp>

#include <algorithm>  // std::min
#include <array>

#include "platform/file.h"
#include "xml_layout.h"

namespace platform {
namespace {

constexpr unsigned kPreservingParse = pugi::parse_pi | pugi::parse_comments | pugi::parse_cdata |
                                      pugi::parse_declaration | pugi::parse_doctype | pugi::parse_ws_pcdata |
                                      pugi::parse_fragment;
constexpr unsigned kPreservingFormat = pugi::format_no_escapes | pugi::format_no_declaration;

pugi::xml_node NodeOf(void* raw) { return pugi::xml_node(static_cast<pugi::xml_node_struct*>(raw)); }
void* RawOf(pugi::xml_node node) { return node.internal_object(); }

struct StringWriter : pugi::xml_writer {
  std::string bytes;
  void write(const void* data, std::size_t size) override { bytes.append(static_cast<const char*>(data), size); }
};

bool IsBlank(std::string_view text) { return text.find_first_not_of(" \t\r\n") == std::string_view::npos; }

bool IsBlankText(pugi::xml_node node) { return node.type() == pugi::node_pcdata && IsBlank(node.value()); }

struct Encoding {
  pugi::xml_encoding encoding = pugi::encoding_utf8;
  bool bom = false;
  bool ascii_compatible = true;
};

// The encoding a byte-order mark, or the start of a UTF-16/32 document without one, tells.
Encoding DetectEncoding(std::string_view b) {
  auto starts = [&](std::string_view prefix) { return b.substr(0, prefix.size()) == prefix; };
  using namespace std::string_view_literals;
  if (starts("\xEF\xBB\xBF"sv)) return {pugi::encoding_utf8, true, true};
  if (starts("\xFF\xFE\0\0"sv)) return {pugi::encoding_utf32_le, true, false};
  if (starts("\0\0\xFE\xFF"sv)) return {pugi::encoding_utf32_be, true, false};
  if (starts("\xFF\xFE"sv)) return {pugi::encoding_utf16_le, true, false};
  if (starts("\xFE\xFF"sv)) return {pugi::encoding_utf16_be, true, false};
  if (starts("<\0\0\0"sv)) return {pugi::encoding_utf32_le, false, false};
  if (starts("\0\0\0<"sv)) return {pugi::encoding_utf32_be, false, false};
  if (starts("<\0?\0"sv)) return {pugi::encoding_utf16_le, false, false};
  if (starts("\0<\0?"sv)) return {pugi::encoding_utf16_be, false, false};
  return {};
}

// True when the declaration names an encoding other than UTF-8.
bool DeclaresOtherThanUtf8(const pugi::xml_document& doc) {
  for (pugi::xml_node child : doc.children()) {
    if (child.type() != pugi::node_declaration) continue;
    std::string name = child.attribute("encoding").value();
    for (char& c : name) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return !name.empty() && name != "utf-8" && name != "utf8";
  }
  return false;
}

// Fragment mode accepts what a document may not be; empty when the top level is sound.
std::string StructureError(const pugi::xml_document& doc) {
  int elements = 0;
  for (pugi::xml_node child : doc.children()) {
    if (child.type() == pugi::node_element) ++elements;
    if (child.type() == pugi::node_cdata || (child.type() == pugi::node_pcdata && !IsBlankText(child))) {
      return "text outside the root element";
    }
  }
  if (elements == 0) return "no root element";
  if (elements > 1) return "more than one root element";
  return {};
}

std::string Serialize(const pugi::xml_document& doc, const char* indent, unsigned flags, pugi::xml_encoding encoding) {
  StringWriter out;
  doc.save(out, indent, flags, encoding);
  return out.bytes;
}

// Of pugixml's output forms, the one that reproduces `original`, or else the one whose first
// and last bytes agree with it the longest.
unsigned ChooseFormat(const pugi::xml_document& doc, std::string_view original, const Encoding& encoding) {
  constexpr unsigned kSingle = pugi::format_attribute_single_quote;
  constexpr unsigned kNoEmpty = pugi::format_no_empty_element_tags;
  constexpr unsigned kRaw = pugi::format_raw;  // without it: " />" and newlines between adjacent nodes
  constexpr std::array<unsigned, 8> kForms{kRaw, kRaw | kSingle, kRaw | kNoEmpty, kRaw | kSingle | kNoEmpty,
                                           0,    kSingle,        kNoEmpty,        kSingle | kNoEmpty};
  const unsigned base = kPreservingFormat | (encoding.bom ? pugi::format_write_bom : 0u);
  unsigned best = base | kForms[0];
  std::size_t best_score = 0;
  for (unsigned form : kForms) {
    const std::string out = Serialize(doc, "", base | form, encoding.encoding);
    if (out == original) return base | form;
    const std::size_t limit = std::min(out.size(), original.size());
    std::size_t prefix = 0;
    while (prefix < limit && out[prefix] == original[prefix]) ++prefix;
    std::size_t suffix = 0;
    while (suffix < limit - prefix && out[out.size() - 1 - suffix] == original[original.size() - 1 - suffix]) ++suffix;
    if (prefix + suffix > best_score) best = base | form, best_score = prefix + suffix;
  }
  return best;
}

// Writes the quote character the document is saved with as a reference wherever a value holds
// it, so that a value once written inside the other quotes still ends where it should.
class QuoteGuard : public pugi::xml_tree_walker {
 public:
  explicit QuoteGuard(bool single) : quote_(single ? '\'' : '"'), reference_(single ? "&apos;" : "&quot;") {}
  bool for_each(pugi::xml_node& node) override {
    for (pugi::xml_attribute attribute : node.attributes()) {
      std::string value = attribute.value();
      if (value.find(quote_) == std::string::npos) continue;
      std::string guarded;
      for (char c : value) guarded += c == quote_ ? reference_ : std::string(1, c);
      attribute.set_value(guarded.c_str());
    }
    return true;
  }

 private:
  char quote_;
  std::string reference_;
};

// A text as written in the file, with its references decoded and its line ends normalised.
std::string DecodedText(const char* raw) {
  std::string_view text(raw);
  if (text.find_first_of("&\r") == std::string_view::npos) return std::string(text);
  std::string wrapped = "<t>" + std::string(text) + "</t>";
  pugi::xml_document holder;
  if (!holder.load_buffer(wrapped.data(), wrapped.size(),
                          pugi::parse_escapes | pugi::parse_eol | pugi::parse_ws_pcdata, pugi::encoding_utf8)) {
    return std::string(text);
  }
  return holder.first_child().text().get();
}

// A plain text as it must be written in the file.
std::string EscapedText(std::string_view text) {
  pugi::xml_document holder;
  holder.append_child(pugi::node_pcdata).set_value(std::string(text).c_str());
  return Serialize(holder, "", pugi::format_raw | pugi::format_no_declaration, pugi::encoding_utf8);
}

// The layout algorithm's view of a pugixml tree.
struct PugiTree {
  using Node = pugi::xml_node;
  Node PreviousSibling(Node n) { return n.previous_sibling(); }
  Node NextSibling(Node n) { return n.next_sibling(); }
  Node FirstChild(Node n) { return n.first_child(); }
  Node LastChild(Node n) { return n.last_child(); }
  Node DocumentElement(Node any) {
    return any.root().find_child([](Node n) { return n.type() == pugi::node_element; });
  }
  bool IsElement(Node n) { return n.type() == pugi::node_element; }
  bool IsBlankText(Node n) { return platform::IsBlankText(n); }
  std::string Value(Node n) { return n.value(); }
  Node InsertElementAfter(Node parent, Node after, std::string_view name) {
    Node child = after ? parent.insert_child_after(pugi::node_element, after) : parent.append_child(pugi::node_element);
    child.set_name(std::string(name).c_str());
    return child;
  }
  void InsertTextBefore(Node parent, Node before, const std::string& text) {
    (before ? parent.insert_child_before(pugi::node_pcdata, before) : parent.append_child(pugi::node_pcdata))
        .set_value(text.c_str());
  }
  void Remove(Node parent, Node child) { parent.remove_child(child); }
};

}  // namespace

std::string XmlElement::Name() const { return node_ ? NodeOf(node_).name() : ""; }

XmlElement XmlElement::FirstChild(std::string_view name) const {
  if (!node_) return {};
  for (pugi::xml_node child : NodeOf(node_).children()) {
    if (child.type() == pugi::node_element && name == child.name()) return XmlElement(RawOf(child), preserving_);
  }
  return {};
}

XmlElement XmlElement::AppendChild(std::string_view name) {
  if (!node_) return {};
  pugi::xml_node parent = NodeOf(node_);
  PugiTree tree;
  pugi::xml_node child = preserving_ ? detail::AppendLaidOut(tree, parent, name) : tree.InsertElementAfter(parent, {}, name);
  return XmlElement(RawOf(child), preserving_);
}

bool XmlElement::RemoveChild(XmlElement child) {
  if (!node_ || !child) return false;
  pugi::xml_node parent = NodeOf(node_);
  pugi::xml_node node = NodeOf(child.node_);
  if (node.parent() != parent) return false;
  if (!preserving_) return parent.remove_child(node);
  PugiTree tree;
  detail::RemoveLaidOut(tree, parent, node);
  return true;
}

XmlElement XmlElement::Parent() const {
  if (!node_) return {};
  pugi::xml_node parent = NodeOf(node_).parent();
  if (!parent || parent.type() != pugi::node_element) return {};
  return XmlElement(RawOf(parent), preserving_);
}

std::string XmlElement::Text() const {
  if (!node_) return "";
  if (!preserving_) return NodeOf(node_).text().get();
  pugi::xml_node data = NodeOf(node_).text().data();
  if (!data) return "";
  return data.type() == pugi::node_cdata ? std::string(data.value()) : DecodedText(data.value());
}

void XmlElement::SetText(std::string_view text) {
  if (!node_) return;
  pugi::xml_node element = NodeOf(node_);
  if (!preserving_) {
    element.text().set(std::string(text).c_str());
    return;
  }
  pugi::xml_node data = element.text().data();
  if (data && data.type() == pugi::node_cdata) {
    if (text.find("]]>") == std::string_view::npos) {
      data.set_value(std::string(text).c_str());
      return;
    }
    pugi::xml_node plain = element.insert_child_before(pugi::node_pcdata, data);
    element.remove_child(data);
    data = plain;
  }
  if (!data) data = element.append_child(pugi::node_pcdata);
  data.set_value(EscapedText(text).c_str());
}

struct XmlDocument::Impl {
  pugi::xml_document doc;
  bool preserving = false;  // read by LoadPreserving / ParsePreserving
  std::string original;     // the bytes it was read from, which the save's form is matched to
  Encoding encoding;        // what a preserved document is saved in

  void Reset() {
    doc.reset();
    preserving = false;
    original.clear();
    encoding = {};
  }
};

XmlDocument::XmlDocument() : impl_(std::make_unique<Impl>()) {}
XmlDocument::~XmlDocument() = default;

bool XmlDocument::Load(const std::string& path) {
  impl_->Reset();
  pugi::xml_parse_result result = impl_->doc.load_file(path.c_str());
  if (!result) impl_->doc.reset();
  return static_cast<bool>(result);
}

void XmlDocument::Clear() { impl_->Reset(); }

bool XmlDocument::ParsePreserving(std::string_view bytes, std::string& error) {
  impl_->Reset();
  pugi::xml_document& doc = impl_->doc;
  Encoding encoding = DetectEncoding(bytes);
  pugi::xml_parse_result result = doc.load_buffer(bytes.data(), bytes.size(), kPreservingParse, encoding.encoding);
  if (result && encoding.ascii_compatible && !encoding.bom && DeclaresOtherThanUtf8(doc)) {
    encoding.encoding = pugi::encoding_latin1;
    result = doc.load_buffer(bytes.data(), bytes.size(), kPreservingParse, encoding.encoding);
  }
  if (!result) {
    error = std::string(result.description()) + " at offset " + std::to_string(result.offset);
    doc.reset();
    return false;
  }
  if (std::string wrong = StructureError(doc); !wrong.empty()) {
    error = wrong;
    doc.reset();
    return false;
  }
  impl_->preserving = true;
  impl_->original = std::string(bytes);
  impl_->encoding = encoding;
  return true;
}

std::string XmlDocument::Bytes() const {
  pugi::xml_document& doc = impl_->doc;
  if (!impl_->preserving) return Serialize(doc, "  ", pugi::format_indent, pugi::encoding_utf8);
  // Chosen now rather than at load: the changed part then counts for nothing, and the form
  // is the one of everything around it.
  const unsigned format = ChooseFormat(doc, impl_->original, impl_->encoding);
  QuoteGuard guard((format & pugi::format_attribute_single_quote) != 0);
  doc.traverse(guard);
  return Serialize(doc, "", format, impl_->encoding.encoding);
}

bool XmlDocument::Save(const std::string& path, std::string& error) const {
  return ReplaceFileAtomically(path, Bytes(), error);
}

bool XmlDocument::Save(const std::string& path) const {
  std::string error;
  return Save(path, error);
}

XmlElement XmlDocument::Root() const {
  pugi::xml_node root = impl_->doc.document_element();
  return root ? XmlElement(RawOf(root), impl_->preserving) : XmlElement();
}

XmlElement XmlDocument::CreateRoot(std::string_view name) {
  pugi::xml_node root = impl_->doc.append_child(pugi::node_element);
  root.set_name(std::string(name).c_str());
  return XmlElement(RawOf(root), impl_->preserving);
}

}  // namespace platform
