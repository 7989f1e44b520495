// Whether a profile document's text changed only inside one section: the guard every writer of
// the profile (the plug-in's store for "VEX", kvhost for its own section) passes before it saves,
// because the profile holds the user's whole machine set-up.
#include "profile/profile_section.h"

#include <optional>
#include <string>
#include <utility>

namespace kv {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

// The '>' that closes markup opened before `from`, past quoted values and, in a declaration
// (`in_brackets`), past its internal subset in brackets; npos when none does.
std::size_t ClosingAngle(std::string_view text, std::size_t from, bool in_brackets) {
  int brackets = 0;
  char quote = 0;
  for (std::size_t i = from; i < text.size(); ++i) {
    const char c = text[i];
    if (quote) {
      if (c == quote) quote = 0;
    } else if (c == '"' || c == '\'') {
      quote = c;
    } else if (in_brackets && (c == '[' || c == ']')) {
      brackets += c == '[' ? 1 : -1;
    } else if (c == '>' && brackets <= 0) {
      return i;
    }
  }
  return std::string_view::npos;
}

// Where markup that holds no element ends (a comment, a processing instruction, CDATA, a
// declaration such as DOCTYPE with its internal subset), from its '<' at `at`; npos when it is
// not such markup, or when it runs to the end of the text.
std::size_t NonElementEnd(std::string_view text, std::size_t at, bool& is_markup) {
  is_markup = true;
  auto past = [&](std::string_view closer, std::size_t from) {
    const std::size_t end = text.find(closer, from);
    return end == std::string_view::npos ? end : end + closer.size();
  };
  const std::string_view rest = text.substr(at);
  if (rest.starts_with("<!--")) return past("-->", at + 4);
  if (rest.starts_with("<![CDATA[")) return past("]]>", at + 9);
  if (rest.starts_with("<?")) return past("?>", at + 2);
  if (rest.starts_with("<!")) {
    const std::size_t end = ClosingAngle(text, at + 2, true);
    return end == std::string_view::npos ? end : end + 1;
  }
  is_markup = false;
  return std::string_view::npos;
}

// Where the section's element, a child of the document's root, begins and ends in the text:
// [begin, end); empty when the text has no such element or cannot be followed. Comments,
// processing instructions, CDATA and attribute values are stepped over: the section's tag written
// inside them is not the section, and taking it for one would let a save change the text around it.
std::optional<std::pair<std::size_t, std::size_t>> SectionSpan(std::string_view text, std::string_view section) {
  int depth = 0;
  std::optional<std::size_t> section_begin;
  for (std::size_t at = text.find('<'); at != std::string_view::npos; at = text.find('<', at)) {
    bool is_markup = false;
    const std::size_t markup_end = NonElementEnd(text, at, is_markup);
    if (is_markup) {
      if (markup_end == std::string_view::npos) return std::nullopt;
      at = markup_end;
      continue;
    }
    const std::size_t tag_end = ClosingAngle(text, at + 1, false);
    if (tag_end == std::string_view::npos) return std::nullopt;
    const bool closing = at + 1 < text.size() && text[at + 1] == '/';
    const bool empty = !closing && text[tag_end - 1] == '/';
    const std::size_t name_begin = at + (closing ? 2 : 1);
    std::size_t name_end = name_begin;
    while (name_end < tag_end && !IsBlank(text[name_end]) && text[name_end] != '/') ++name_end;
    const bool ours = text.substr(name_begin, name_end - name_begin) == section;
    if (closing) {
      if (depth == 2 && section_begin) {
        return ours ? std::make_optional(std::make_pair(*section_begin, tag_end + 1)) : std::nullopt;
      }
      if (--depth < 0) return std::nullopt;
    } else {
      if (depth == 1 && ours) {
        if (empty) return std::make_pair(at, tag_end + 1);
        section_begin = at;
      }
      if (!empty) ++depth;
    }
    at = tag_end + 1;
  }
  return std::nullopt;
}

// The text with an element left empty at `at` ("<name ...>", blanks, "</name>") written as an
// empty-element tag ending in `empty_tag_end` ("/>" or " />"); otherwise as it is.
std::string CollapsedAt(const std::string& text, std::size_t at, std::string_view empty_tag_end) {
  std::size_t open_end = at;
  while (open_end > 0 && IsBlank(text[open_end - 1])) --open_end;
  std::size_t close = at;
  while (close < text.size() && IsBlank(text[close])) ++close;
  if (open_end < 2 || text[open_end - 1] != '>' || text[open_end - 2] == '/' || text.compare(close, 2, "</") != 0) {
    return text;
  }
  const std::size_t open = text.rfind('<', open_end - 1);
  const std::size_t close_end = text.find('>', close);
  if (open == std::string::npos || close_end == std::string::npos) return text;
  const std::size_t name_end = text.find_first_of(" \t\r\n/>", open + 1);
  if (text.compare(open + 1, name_end - open - 1, text, close + 2, close_end - close - 2) != 0) return text;
  return text.substr(0, open_end - 1) + std::string(empty_tag_end) + text.substr(close_end + 1);
}

}  // namespace

bool ChangesOnlySection(std::string_view before, std::string_view after, std::string_view section) {
  if (before == after) return true;
  // Without the section on either side the texts must agree, but for the layout white space
  // that went with the section, where it was taken out.
  const auto before_span = SectionSpan(before, section);
  const auto after_span = SectionSpan(after, section);
  if (!before_span && !after_span) return false;
  auto without = [](std::string_view text, const std::optional<std::pair<std::size_t, std::size_t>>& span) {
    if (!span) return std::string(text);
    return std::string(text.substr(0, span->first)).append(text.substr(span->second));
  };
  const std::string b = without(before, before_span);
  const std::string a = without(after, after_span);
  const std::size_t at = after_span ? after_span->first : before_span->first;  // where the section was
  // A section added to an empty element opened it up: "<profile/>" became "<profile>...</profile>".
  if (!before_span) {
    for (std::string_view tag_end : {"/>", " />"}) {
      if (CollapsedAt(a, at, tag_end) == b) return true;
    }
  }
  if (a == b) return true;
  std::size_t prefix = 0;
  while (prefix < b.size() && prefix < a.size() && b[prefix] == a[prefix]) ++prefix;
  std::size_t suffix = 0;
  while (suffix < b.size() - prefix && suffix < a.size() - prefix && b[b.size() - 1 - suffix] == a[a.size() - 1 - suffix]) {
    ++suffix;
  }
  auto blank = [](std::string_view text) {
    for (char c : text) {
      if (!IsBlank(c)) return false;
    }
    return true;
  };
  if (!blank(std::string_view(b).substr(prefix, b.size() - suffix - prefix)) ||
      !blank(std::string_view(a).substr(prefix, a.size() - suffix - prefix))) {
    return false;
  }
  // The white space that differs must touch the place of the section (blanks on either side of
  // the difference may be matched either way).
  while (prefix > 0 && IsBlank(a[prefix - 1])) --prefix;
  std::size_t end = a.size() - suffix;
  while (end < a.size() && IsBlank(a[end])) ++end;
  return prefix <= at && at <= end;
}

}  // namespace kv
