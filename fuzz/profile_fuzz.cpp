// The profile store over any file: whatever it loads and saves back, unchanged or with a setting
// written, keeps every byte outside the section "VEX"; a file it cannot read is never written.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "profile/profile_store.h"
#include "scratch_file.h"

namespace {

bool OnlyWhitespace(const std::string& s) { return s.find_first_not_of(" \t\r\n") == std::string::npos; }

std::size_t Count(const std::string& s, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t at = s.find(what); at != std::string::npos; at = s.find(what, at + 1)) ++n;
  return n;
}

// The saved text differs from the original only inside its one VEX section, or by an insertion.
// Judged where the text names VEX plainly: once as "<VEX>...</VEX>" or not at all, and in a
// narrow encoding (no zero bytes); elsewhere only the store's own rule is held.
bool KeepsOutsideVex(const std::string& original, const std::string& saved) {
  std::size_t prefix = 0;
  while (prefix < original.size() && prefix < saved.size() && original[prefix] == saved[prefix]) ++prefix;
  std::size_t suffix = 0;
  while (suffix < original.size() - prefix && suffix < saved.size() - prefix &&
         original[original.size() - 1 - suffix] == saved[saved.size() - 1 - suffix]) {
    ++suffix;
  }
  const std::size_t changed_end = original.size() - suffix;
  if (changed_end <= prefix) return true;
  if (original.find('\0') != std::string::npos) return kv::ChangesOnlyOurSection(original, saved);
  const std::size_t vex = Count(original, "VEX");
  if (vex == 0) return false;
  if (vex != 2 || Count(original, "<VEX>") != 1 || Count(original, "</VEX>") != 1) {
    return kv::ChangesOnlyOurSection(original, saved);
  }
  const std::size_t open = original.find("<VEX>");
  const std::size_t close = original.find("</VEX>") + 6;
  return open < close && prefix >= open && changed_end <= close;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string original(reinterpret_cast<const char*>(data), size);
  const std::string path = kvfuzz::WriteScratch("profile.xml", data, size);
  bool writable = false;
  {
    kv::ProfileStore store(path);
    writable = store.writable();
  }
  const std::string unchanged = kvfuzz::ReadWhole(path);
  if (!writable && unchanged != original) std::abort();  // an unreadable profile is never written
  if (!writable || OnlyWhitespace(original)) return 0;   // white space only counts as no profile
  if (!KeepsOutsideVex(original, unchanged)) std::abort();

  {
    kv::ProfileStore store(path);
    store.WriteInt("VEX", "SegLen", 1234);
  }
  const std::string saved = kvfuzz::ReadWhole(path);
  if (!KeepsOutsideVex(original, saved)) std::abort();
  if (saved != unchanged) {  // written: the value reads back
    kv::ProfileStore store(path);
    if (store.ReadInt("VEX", "SegLen", -1) != 1234) std::abort();
  }
  return 0;
}
