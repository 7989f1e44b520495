// Profile store on the platform's XML document object.
#include "profile/profile_store.h"

#include <limits>
#include <optional>
#include <utility>

#include "platform/file.h"
#include "profile/profile_section.h"
#include "runtime/diagnostics.h"
#include "shell/plugin_state.h"

namespace kv {
namespace {

constexpr std::string_view kRootName = "profile";
constexpr std::string_view kSectionName = "VEX";  // the plug-in's own section

ProfileStore* current_store = nullptr;  // host thread only

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

}  // namespace

bool ChangesOnlyOurSection(std::string_view before, std::string_view after) {
  return ChangesOnlySection(before, after, kSectionName);
}

std::int32_t ParseDecimal(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && IsBlank(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  std::int64_t value = 0;
  constexpr std::int64_t kLimit = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > kLimit) value = kLimit;  // saturate; keeps the arithmetic in range
  }
  if (negative) value = -value;
  if (value > std::numeric_limits<std::int32_t>::max()) value = std::numeric_limits<std::int32_t>::max();
  return static_cast<std::int32_t>(value);
}

ProfileStore::ProfileStore() : ProfileStore(state.profile_name) {}

ProfileStore::ProfileStore(std::string path) : path_(std::move(path)) {
  if (!path_.empty()) {
    std::string error;
    // A missing file is created at the save; one that is there but unreadable holds the
    // user's set-up, which an empty document written over it would lose.
    const platform::XmlLoad load = doc_.LoadPreserving(path_, error);
    if (load == platform::XmlLoad::kUnreadable) {
      writable_ = false;
      status_printf("profile %s cannot be read: %s; settings not saved", path_.c_str(), error.c_str());
    } else if (load == platform::XmlLoad::kLoaded) {
      std::string bytes;
      if (platform::ReadWholeFile(path_, bytes, error) == platform::FileRead::kRead) loaded_bytes_ = std::move(bytes);
    }
  }
  if (!doc_.Root()) doc_.CreateRoot(kRootName);
}

ProfileStore::~ProfileStore() {
  if (path_.empty() || !writable_) return;
  // The parser is lenient: what it took in but cannot write back as it was (bytes after a zero
  // byte, "--" inside a comment, a mix of element forms) would change outside our section.
  if (loaded_bytes_ && !ChangesOnlyOurSection(*loaded_bytes_, doc_.Bytes())) {
    status_printf("profile not saved: %s: its content outside %s could not be kept as it was", path_.c_str(),
                  std::string(kSectionName).c_str());
    return;
  }
  std::string error;
  if (!doc_.Save(path_, error)) status_printf("profile not saved: %s: %s", path_.c_str(), error.c_str());
}

platform::XmlElement ProfileStore::FindEntry(std::string_view section, std::string_view key) const {
  platform::XmlElement sec = doc_.Root().FirstChild(section);
  if (!sec) return {};
  return sec.FirstChild(key);
}

platform::XmlElement ProfileStore::FindOrCreateEntry(std::string_view section, std::string_view key) {
  platform::XmlElement root = doc_.Root();
  platform::XmlElement sec = root.FirstChild(section);
  if (!sec) sec = root.AppendChild(section);
  platform::XmlElement entry = sec.FirstChild(key);
  if (!entry) entry = sec.AppendChild(key);
  return entry;
}

std::int32_t ProfileStore::ReadInt(std::string_view section, std::string_view key, std::int32_t fallback) {
  platform::XmlElement entry = FindEntry(section, key);
  if (!entry) return fallback;
  std::string content = entry.Text();
  // White space alone is no value, as it is no text to a parser that drops it.
  if (content.find_first_not_of(" \t\r\n") == std::string::npos) {
    entry.Parent().RemoveChild(entry);
    return fallback;
  }
  return ParseDecimal(content);
}

bool ProfileStore::WriteInt(std::string_view section, std::string_view key, std::int32_t value) {
  FindOrCreateEntry(section, key).SetText(std::to_string(value));
  return true;
}

ProfileStore* CurrentProfileStore() { return current_store; }
void SetCurrentProfileStore(ProfileStore* store) { current_store = store; }

}  // namespace kv
