// The XML document object on Windows: MSXML's DOM through COM.
// The document keeps a reference to every node it has handed out, so element handles stay plain
// pointers that live as long as their document, as they do on the other side. MSXML keeps what
// a round trip needs by itself once white space is preserved: the declaration and its encoding,
// comments, processing instructions, CDATA and the DOCTYPE; files are read and written as bytes
// through streams, so the declared encoding decides, and replaced atomically (platform/file.h).
#include "platform/xml_document.h"

#include <deque>
#include <utility>  // std::exchange, std::swap

#include "platform/file.h"

#include "../common/xml_layout.h"

#include "win32.h"
// after windows.h:
#include <msxml2.h>  // IXMLDOMDocument, IXMLDOMElement, IXMLDOMNode
#include <objbase.h>  // CoInitializeEx, CoCreateInstance, CLSIDFromProgID, CreateStreamOnHGlobal

namespace platform {
namespace {

struct Arena;

// What an XmlElement points at: a node and the document that keeps it alive.
struct NodeRef {
  IXMLDOMNode* node;
  Arena* arena;
};

struct Arena {
  IXMLDOMDocument* doc = nullptr;
  std::deque<NodeRef> refs;  // stable addresses

  void* Keep(IXMLDOMNode* node) {
    refs.push_back({node, this});
    return &refs.back();
  }
  void ReleaseAll() {
    for (NodeRef& r : refs) r.node->Release();
    refs.clear();
  }
};

NodeRef& Ref(void* raw) { return *static_cast<NodeRef*>(raw); }

class Bstr {
 public:
  explicit Bstr(std::string_view text) : value_(SysAllocString(win32::Widen(text).c_str())) {}
  ~Bstr() { SysFreeString(value_); }
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;
  BSTR get() const { return value_; }

 private:
  BSTR value_;
};

std::string TakeString(BSTR text) {
  std::string out = text ? win32::Narrow(std::wstring_view(text, SysStringLen(text))) : std::string();
  SysFreeString(text);
  return out;
}

// A new element named `name`, not yet in the tree.
IXMLDOMNode* NewElement(IXMLDOMDocument* doc, std::string_view name) {
  IXMLDOMElement* element = nullptr;
  Bstr tag(name);
  if (FAILED(doc->createElement(tag.get(), &element)) || element == nullptr) return nullptr;
  IXMLDOMNode* node = nullptr;
  element->QueryInterface(IID_IXMLDOMNode, reinterpret_cast<void**>(&node));
  element->Release();
  return node;
}

// Appends `child` to `parent` and returns the node as placed in the tree.
IXMLDOMNode* Append(IXMLDOMNode* parent, IXMLDOMNode* child) {
  IXMLDOMNode* placed = nullptr;
  HRESULT hr = parent->appendChild(child, &placed);
  child->Release();
  return SUCCEEDED(hr) ? placed : nullptr;
}

bool IsElement(IXMLDOMNode* node) {
  DOMNodeType type = NODE_INVALID;
  return SUCCEEDED(node->get_nodeType(&type)) && type == NODE_ELEMENT;
}

IXMLDOMDocument* CreateDocument() {
  // The newest parser the system has; 3.0 is on every supported Windows.
  for (const wchar_t* prog_id : {L"Msxml2.DOMDocument.6.0", L"Msxml2.DOMDocument.3.0"}) {
    CLSID clsid;
    if (FAILED(CLSIDFromProgID(prog_id, &clsid))) continue;
    IXMLDOMDocument* doc = nullptr;
    if (SUCCEEDED(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IXMLDOMDocument,
                                   reinterpret_cast<void**>(&doc)))) {
      doc->put_async(VARIANT_FALSE);
      doc->put_validateOnParse(VARIANT_FALSE);
      doc->put_resolveExternals(VARIANT_FALSE);
      doc->put_preserveWhiteSpace(VARIANT_TRUE);  // the host's layout is saved back as it was
      return doc;
    }
  }
  return nullptr;
}

// A stream over a copy of `bytes`, positioned at its start.
IStream* StreamOf(std::string_view bytes) {
  IStream* stream = nullptr;
  if (FAILED(CreateStreamOnHGlobal(nullptr, TRUE, &stream)) || stream == nullptr) return nullptr;
  ULONG written = 0;
  if (!bytes.empty() && FAILED(stream->Write(bytes.data(), static_cast<ULONG>(bytes.size()), &written))) {
    stream->Release();
    return nullptr;
  }
  LARGE_INTEGER start{};
  stream->Seek(start, STREAM_SEEK_SET, nullptr);
  return stream;
}

// Everything written to `stream`.
std::string StreamBytes(IStream* stream) {
  std::string bytes;
  LARGE_INTEGER start{};
  stream->Seek(start, STREAM_SEEK_SET, nullptr);
  char buffer[8192];
  for (;;) {
    ULONG n = 0;
    if (FAILED(stream->Read(buffer, sizeof buffer, &n)) || n == 0) break;
    bytes.append(buffer, n);
  }
  return bytes;
}

// How a source ended its lines. The parser keeps LF alone, and MSXML versions differ in what
// they write back, so saving restores the source's own line ends.
enum class LineEnds { kUnknown, kLf, kCrLf };

// Every line of `bytes` ended with CR LF, or every one with LF alone; unknown when mixed or none.
LineEnds LineEndsOf(std::string_view bytes) {
  std::size_t lf = 0, crlf = 0;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (bytes[i] != '\n') continue;
    if (i > 0 && bytes[i - 1] == '\r') ++crlf; else ++lf;
  }
  if (lf && !crlf) return LineEnds::kLf;
  if (crlf && !lf) return LineEnds::kCrLf;
  return LineEnds::kUnknown;
}

// `bytes` with each line end, CR LF or LF alone, written as CR LF or as LF.
std::string WithLineEnds(std::string_view bytes, bool crlf) {
  std::string out;
  out.reserve(bytes.size() + bytes.size() / 16);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') continue;  // its LF follows
    if (bytes[i] == '\n' && crlf) out += '\r';
    out += bytes[i];
  }
  return out;
}

// Where the white space after the last markup of `bytes` begins.
std::size_t TailStart(std::string_view bytes) {
  const std::size_t last = bytes.find_last_not_of(" \t\r\n");
  return last == std::string_view::npos ? 0 : last + 1;
}

// The parser's reason and line for the last failed load.
std::string ParseErrorText(IXMLDOMDocument* doc) {
  IXMLDOMParseError* parse_error = nullptr;
  std::string text = "not well-formed XML";
  if (SUCCEEDED(doc->get_parseError(&parse_error)) && parse_error != nullptr) {
    BSTR reason = nullptr;
    long line = 0;
    if (SUCCEEDED(parse_error->get_reason(&reason)) && reason != nullptr) {
      std::string why = TakeString(reason);
      while (!why.empty() && (why.back() == '\n' || why.back() == '\r' || why.back() == ' ')) why.pop_back();
      if (!why.empty()) text = why;
    }
    if (SUCCEEDED(parse_error->get_line(&line)) && line > 0) text += " (line " + std::to_string(line) + ")";
    parse_error->Release();
  }
  return text;
}

// One counted reference to a node, for the layout algorithm.
class DomNode {
 public:
  DomNode() = default;
  explicit DomNode(IXMLDOMNode* adopted) : node_(adopted) {}  // takes over the caller's reference
  DomNode(const DomNode& other) : node_(other.node_) {
    if (node_) node_->AddRef();
  }
  DomNode& operator=(DomNode other) {
    std::swap(node_, other.node_);
    return *this;
  }
  ~DomNode() {
    if (node_) node_->Release();
  }
  explicit operator bool() const { return node_ != nullptr; }
  IXMLDOMNode* get() const { return node_; }
  IXMLDOMNode* release() { return std::exchange(node_, nullptr); }

 private:
  IXMLDOMNode* node_ = nullptr;
};

// The layout algorithm's view of an MSXML tree.
struct DomTree {
  using Node = DomNode;
  IXMLDOMDocument* doc;

  template <typename Getter>
  static Node Get(const Node& n, Getter getter) {
    IXMLDOMNode* out = nullptr;
    if (!n || FAILED((n.get()->*getter)(&out))) return {};
    return Node(out);
  }
  Node PreviousSibling(const Node& n) { return Get(n, &IXMLDOMNode::get_previousSibling); }
  Node NextSibling(const Node& n) { return Get(n, &IXMLDOMNode::get_nextSibling); }
  Node FirstChild(const Node& n) { return Get(n, &IXMLDOMNode::get_firstChild); }
  Node LastChild(const Node& n) { return Get(n, &IXMLDOMNode::get_lastChild); }
  Node DocumentElement(const Node&) {
    IXMLDOMElement* root = nullptr;
    if (FAILED(doc->get_documentElement(&root)) || root == nullptr) return {};
    IXMLDOMNode* node = nullptr;
    root->QueryInterface(IID_IXMLDOMNode, reinterpret_cast<void**>(&node));
    root->Release();
    return Node(node);
  }
  bool IsElement(const Node& n) { return n && platform::IsElement(n.get()); }
  bool IsBlankText(const Node& n) {
    DOMNodeType type = NODE_INVALID;
    if (!n || FAILED(n.get()->get_nodeType(&type)) || type != NODE_TEXT) return false;
    return Value(n).find_first_not_of(" \t\r\n") == std::string::npos;
  }
  std::string Value(const Node& n) {
    VARIANT value;
    VariantInit(&value);
    std::string out;
    if (n && SUCCEEDED(n.get()->get_nodeValue(&value)) && value.vt == VT_BSTR) {
      out = win32::Narrow(std::wstring_view(value.bstrVal, SysStringLen(value.bstrVal)));
    }
    VariantClear(&value);
    return out;
  }
  // Places `fresh` before `before` (null: last) and returns it as placed.
  Node Place(const Node& parent, IXMLDOMNode* fresh, const Node& before) {
    if (!fresh) return {};
    VARIANT where;
    VariantInit(&where);
    if (before) {
      where.vt = VT_UNKNOWN;
      where.punkVal = before.get();
    }
    IXMLDOMNode* placed = nullptr;
    const HRESULT hr = parent.get()->insertBefore(fresh, where, &placed);
    fresh->Release();
    return SUCCEEDED(hr) ? Node(placed) : Node();
  }
  Node InsertElementAfter(const Node& parent, const Node& after, std::string_view name) {
    return Place(parent, NewElement(doc, name), after ? NextSibling(after) : Node());
  }
  void InsertTextBefore(const Node& parent, const Node& before, const std::string& text) {
    IXMLDOMText* node = nullptr;
    Bstr value(text);
    if (FAILED(doc->createTextNode(value.get(), &node)) || node == nullptr) return;
    IXMLDOMNode* fresh = nullptr;
    node->QueryInterface(IID_IXMLDOMNode, reinterpret_cast<void**>(&fresh));
    node->Release();
    Place(parent, fresh, before);
  }
  void Remove(const Node& parent, const Node& child) {
    IXMLDOMNode* removed = nullptr;
    if (SUCCEEDED(parent.get()->removeChild(child.get(), &removed)) && removed) removed->Release();
  }
};

}  // namespace

std::string XmlElement::Name() const {
  if (!node_) return {};
  BSTR name = nullptr;
  if (FAILED(Ref(node_).node->get_nodeName(&name))) return {};
  return TakeString(name);
}

XmlElement XmlElement::FirstChild(std::string_view name) const {
  if (!node_) return {};
  NodeRef& self = Ref(node_);
  IXMLDOMNode* child = nullptr;
  self.node->get_firstChild(&child);
  while (child != nullptr) {
    if (IsElement(child)) {
      BSTR child_name = nullptr;
      if (SUCCEEDED(child->get_nodeName(&child_name)) && TakeString(child_name) == name) {
        return XmlElement(self.arena->Keep(child), false);
      }
    }
    IXMLDOMNode* next = nullptr;
    child->get_nextSibling(&next);
    child->Release();
    child = next;
  }
  return {};
}

XmlElement XmlElement::AppendChild(std::string_view name) {
  if (!node_) return {};
  NodeRef& self = Ref(node_);
  DomTree tree{self.arena->doc};
  self.node->AddRef();
  DomNode placed = detail::AppendLaidOut(tree, DomNode(self.node), name);
  return placed ? XmlElement(self.arena->Keep(placed.release()), false) : XmlElement();
}

bool XmlElement::RemoveChild(XmlElement child) {
  if (!node_ || !child) return false;
  IXMLDOMNode* parent_node = Ref(node_).node;
  IXMLDOMNode* child_node = Ref(child.node_).node;
  IXMLDOMNode* actual = nullptr;  // the caller's word for it: node identity is no COM promise
  if (FAILED(child_node->get_parentNode(&actual)) || actual == nullptr) return false;
  actual->Release();
  // The handles' own references keep both alive until the document goes.
  DomTree tree{Ref(node_).arena->doc};
  parent_node->AddRef();
  child_node->AddRef();
  detail::RemoveLaidOut(tree, DomNode(parent_node), DomNode(child_node));
  return true;
}

XmlElement XmlElement::Parent() const {
  if (!node_) return {};
  NodeRef& self = Ref(node_);
  IXMLDOMNode* parent = nullptr;
  if (FAILED(self.node->get_parentNode(&parent)) || parent == nullptr) return {};
  if (!IsElement(parent)) {
    parent->Release();
    return {};
  }
  return XmlElement(self.arena->Keep(parent), false);
}

std::string XmlElement::Text() const {
  if (!node_) return {};
  BSTR text = nullptr;
  if (FAILED(Ref(node_).node->get_text(&text))) return {};
  return TakeString(text);
}

void XmlElement::SetText(std::string_view text) {
  if (!node_) return;
  Bstr value(text);
  Ref(node_).node->put_text(value.get());
}

struct XmlDocument::Impl {
  bool com_started = false;  // this object's CoInitializeEx, to be balanced
  LineEnds line_ends = LineEnds::kUnknown;  // the source's, restored when saving
  bool from_source = false;                 // parsed from bytes, which the save reproduces
  std::string source_tail;                  // the white space after the source's last markup
  Arena arena;

  void Reset() {
    line_ends = LineEnds::kUnknown;
    from_source = false;
    source_tail.clear();
    arena.ReleaseAll();
    if (arena.doc) arena.doc->Release();
    arena.doc = CreateDocument();
  }
};

XmlDocument::XmlDocument() : impl_(std::make_unique<Impl>()) {
  // A thread that already has COM (the host's, as a rule) keeps its apartment.
  HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  impl_->com_started = SUCCEEDED(hr);
  impl_->arena.doc = CreateDocument();
}

XmlDocument::~XmlDocument() {
  impl_->arena.ReleaseAll();
  if (impl_->arena.doc) impl_->arena.doc->Release();
  impl_->arena.doc = nullptr;
  if (impl_->com_started) CoUninitialize();
}

bool XmlDocument::Load(const std::string& path) {
  std::string error;
  return LoadPreserving(path, error) == XmlLoad::kLoaded;
}

void XmlDocument::Clear() { impl_->Reset(); }

bool XmlDocument::ParsePreserving(std::string_view bytes, std::string& error) {
  impl_->Reset();
  IXMLDOMDocument* doc = impl_->arena.doc;
  if (!doc) {
    error = "no XML document object (MSXML) on this system";
    return false;
  }
  impl_->line_ends = LineEndsOf(bytes);
  IStream* stream = StreamOf(bytes);
  if (stream == nullptr) {
    error = "out of memory";
    return false;
  }
  VARIANT source;
  VariantInit(&source);
  source.vt = VT_UNKNOWN;
  source.punkVal = stream;
  VARIANT_BOOL ok = VARIANT_FALSE;
  const HRESULT hr = doc->load(source, &ok);
  stream->Release();
  if (SUCCEEDED(hr) && ok == VARIANT_TRUE) {
    impl_->from_source = true;
    impl_->source_tail = std::string(bytes.substr(TailStart(bytes)));
    return true;
  }
  error = ParseErrorText(doc);
  impl_->Reset();
  return false;
}

std::string XmlDocument::Bytes() const {
  IXMLDOMDocument* doc = impl_->arena.doc;
  if (!doc) return {};
  IStream* stream = StreamOf({});
  if (stream == nullptr) return {};
  VARIANT target;
  VariantInit(&target);
  target.vt = VT_UNKNOWN;
  target.punkVal = stream;
  std::string bytes;
  if (SUCCEEDED(doc->save(target))) bytes = StreamBytes(stream);
  stream->Release();
  const bool crlf = impl_->line_ends != LineEnds::kLf;
  if (impl_->line_ends != LineEnds::kUnknown) bytes = WithLineEnds(bytes, crlf);
  if (impl_->from_source) {
    // What follows the root is the source's, not the writer's.
    bytes.replace(TailStart(bytes), std::string::npos, impl_->source_tail);
    return bytes;
  }
  // A new document is written as UTF-8 with a declaration, its lines ended the Windows way
  // throughout, so that reading it back finds one kind of line end to keep.
  bytes = WithLineEnds(bytes, true);
  if (bytes.rfind("<?xml", 0) != 0 && bytes.rfind("\xEF\xBB\xBF", 0) != 0 && bytes.rfind("\xFF\xFE", 0) != 0) {
    bytes.insert(0, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n");
  }
  return bytes;
}

bool XmlDocument::Save(const std::string& path, std::string& error) const {
  if (!impl_->arena.doc) {
    error = "no XML document object (MSXML) on this system";
    return false;
  }
  return ReplaceFileAtomically(path, Bytes(), error);
}

bool XmlDocument::Save(const std::string& path) const {
  std::string error;
  return Save(path, error);
}

XmlElement XmlDocument::Root() const {
  if (!impl_->arena.doc) return {};
  IXMLDOMElement* root = nullptr;
  if (FAILED(impl_->arena.doc->get_documentElement(&root)) || root == nullptr) return {};
  IXMLDOMNode* node = nullptr;
  root->QueryInterface(IID_IXMLDOMNode, reinterpret_cast<void**>(&node));
  root->Release();
  return node ? XmlElement(impl_->arena.Keep(node), false) : XmlElement();
}

XmlElement XmlDocument::CreateRoot(std::string_view name) {
  IXMLDOMDocument* doc = impl_->arena.doc;
  if (!doc) return {};
  IXMLDOMNode* element = NewElement(doc, name);
  if (element == nullptr) return {};
  IXMLDOMNode* placed = Append(doc, element);
  return placed ? XmlElement(impl_->arena.Keep(placed), false) : XmlElement();
}

}  // namespace platform
