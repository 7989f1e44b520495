// Reading a profile-like file into a preserving document, the same over every XML back end:
// a missing or blank file is no set-up to lose, an unreadable one is kept from being written.
#include "platform/file.h"
#include "platform/xml_document.h"

namespace platform {

XmlLoad XmlDocument::LoadPreserving(const std::string& path, std::string& error) {
  Clear();
  std::string bytes;
  switch (ReadWholeFile(path, bytes, error)) {
    case FileRead::kMissing:
      return XmlLoad::kMissing;
    case FileRead::kFailed:
      return XmlLoad::kUnreadable;
    case FileRead::kRead:
      break;
  }
  // Nothing but white space holds no set-up to lose: like no file at all.
  if (bytes.find_first_not_of(" \t\r\n") == std::string::npos) return XmlLoad::kMissing;
  return ParsePreserving(bytes, error) ? XmlLoad::kLoaded : XmlLoad::kUnreadable;
}

}  // namespace platform
