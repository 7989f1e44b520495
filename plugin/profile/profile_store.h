// The profile store: integer settings in the host's XML profile document.
// The document is loaded when a store is created and written back, whole, when it is
// destroyed; reads and writes in between are in memory. Sections are children of the root
// element "profile", entries children of their section, each holding a decimal integer.
// The profile holds the user's whole machine set-up, so everything the store does not change
// is saved back as it was read (the document's preserving load), the file is replaced
// atomically, and a profile that exists but cannot be read or parsed is never written: the
// store then gives the defaults and says so on the status line, as it does for a failed save.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/xml_document.h"

namespace kv {

class ProfileStore {
 public:
  ProfileStore();                          // the profile named by the host (profile_name)
  explicit ProfileStore(std::string path);
  ~ProfileStore();                         // saves the document to the path, if it may
  ProfileStore(const ProfileStore&) = delete;
  ProfileStore& operator=(const ProfileStore&) = delete;

  // The entry's value, or `fallback` when it is missing; an empty entry is removed.
  std::int32_t ReadInt(std::string_view section, std::string_view key, std::int32_t fallback);
  // Stores the value, creating the section and the entry as needed. Always true.
  bool WriteInt(std::string_view section, std::string_view key, std::int32_t value);

  platform::XmlElement FindEntry(std::string_view section, std::string_view key) const;
  platform::XmlElement FindOrCreateEntry(std::string_view section, std::string_view key);

  const std::string& path() const { return path_; }
  // False when the file at the path could not be read or parsed: nothing will be saved.
  bool writable() const { return writable_; }

 private:
  platform::XmlDocument doc_;
  std::string path_;
  bool writable_ = true;
  std::optional<std::string> loaded_bytes_;  // the file as it was read, when there was one
};

// True when `after` differs from `before` only in the "VEX" section (changed, added or
// removed, with the white space of its layout): a save must change nothing else of the profile.
bool ChangesOnlyOurSection(std::string_view before, std::string_view after);

// Decimal conversion as the C library's: leading white space and a sign, digits up to the first
// other character; no digits gives 0. Values beyond 32 bits saturate rather than wrap.
std::int32_t ParseDecimal(std::string_view text);

// The store the plug-in dialog may use while Config shows it; null outside Config.
ProfileStore* CurrentProfileStore();
void SetCurrentProfileStore(ProfileStore* store);

}  // namespace kv
