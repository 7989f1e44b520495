// Whole-file reading and atomic replacement on Windows: a temporary file beside the target,
// written and flushed, then ReplaceFileW over an existing file (which keeps its attributes and
// security) or MoveFileExW where there is none yet.
#include "platform/file.h"

#include <atomic>

#include "platform/system_error.h"
#include "win32.h"

namespace platform {
namespace {

std::atomic<ReplaceStep> injected_step{ReplaceStep::kNone};
std::atomic<unsigned> temp_serial{0};

// True when the injected fault is due at `step`; it fires once.
bool Injected(ReplaceStep step) {
  ReplaceStep expected = step;
  if (!injected_step.compare_exchange_strong(expected, ReplaceStep::kNone)) return false;
  SetLastError(ERROR_DISK_FULL);
  return true;
}

std::string Reason(const char* what) {
  std::string text = ErrorText(LastErrorCode());
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return std::string(what) + ": " + text;
}

bool WriteAll(HANDLE file, std::string_view bytes) {
  // An injected failure lets half of the bytes out first, as a disk that fills up mid-way.
  const bool fail_midway = Injected(ReplaceStep::kWrite);
  if (fail_midway) bytes = bytes.substr(0, bytes.size() / 2);
  while (!bytes.empty()) {
    DWORD written = 0;
    const DWORD chunk = bytes.size() > 1u << 20 ? 1u << 20 : static_cast<DWORD>(bytes.size());
    if (!WriteFile(file, bytes.data(), chunk, &written, nullptr)) return false;
    bytes.remove_prefix(written);
  }
  if (fail_midway) SetLastError(ERROR_DISK_FULL);
  return !fail_midway;
}

}  // namespace

FileRead ReadWholeFile(const std::string& path, std::string& bytes, std::string& error) {
  bytes.clear();
  HANDLE file = CreateFileW(win32::Widen(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) return FileRead::kMissing;
    error = Reason("cannot open");
    return FileRead::kFailed;
  }
  char buffer[8192];
  for (;;) {
    DWORD n = 0;
    if (!ReadFile(file, buffer, sizeof buffer, &n, nullptr)) {
      error = Reason("cannot read");
      CloseHandle(file);
      bytes.clear();
      return FileRead::kFailed;
    }
    if (n == 0) break;
    bytes.append(buffer, n);
  }
  CloseHandle(file);
  return FileRead::kRead;
}

BoundedRead ReadFileUpTo(const std::string& path, std::uint64_t max_bytes, std::string& bytes, std::string& error,
                         std::uint64_t& size) {
  bytes.clear();
  size = 0;
  // A folder cannot be opened without backup semantics, which are not asked for: it fails here.
  HANDLE file = CreateFileW(win32::Widen(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) return BoundedRead::kMissing;
    const DWORD attributes = GetFileAttributesW(win32::Widen(path).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      error = "a folder, not a file";
      return BoundedRead::kNotAFile;
    }
    SetLastError(code);
    error = Reason("cannot open");
    return BoundedRead::kFailed;
  }
  struct Closer {
    HANDLE file;
    ~Closer() { CloseHandle(file); }
  } closer{file};
  const DWORD type = GetFileType(file);
  if (type != FILE_TYPE_DISK) {
    error = type == FILE_TYPE_PIPE ? "a pipe, not a file" : type == FILE_TYPE_CHAR ? "a device, not a file"
                                                                                   : "not a regular file";
    return BoundedRead::kNotAFile;
  }
  LARGE_INTEGER length{};
  if (!GetFileSizeEx(file, &length)) {
    error = Reason("cannot read its size");
    return BoundedRead::kFailed;
  }
  size = static_cast<std::uint64_t>(length.QuadPart);
  if (size > max_bytes) return BoundedRead::kTooLarge;
  bytes.reserve(static_cast<std::size_t>(size));
  char buffer[8192];
  for (;;) {
    DWORD n = 0;
    if (!ReadFile(file, buffer, sizeof buffer, &n, nullptr)) {
      error = Reason("cannot read");
      bytes.clear();
      return BoundedRead::kFailed;
    }
    if (n == 0) break;
    if (bytes.size() + n > max_bytes) {
      size = bytes.size() + n;  // it grew while being read
      bytes.clear();
      return BoundedRead::kTooLarge;
    }
    bytes.append(buffer, n);
  }
  size = bytes.size();
  return BoundedRead::kRead;
}

bool ReplaceFileAtomically(const std::string& path, std::string_view bytes, std::string& error) {
  const std::wstring target = win32::Widen(path);
  const std::wstring temp = target + L"." + std::to_wstring(GetCurrentProcessId()) + L"-" +
                            std::to_wstring(temp_serial.fetch_add(1)) + L".tmp";
  HANDLE file = Injected(ReplaceStep::kCreate)
                    ? INVALID_HANDLE_VALUE
                    : CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    error = Reason("cannot create a temporary file beside it");
    return false;
  }
  auto fail = [&](const char* what) {
    error = Reason(what);
    const DWORD code = GetLastError();
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    DeleteFileW(temp.c_str());
    SetLastError(code);
    return false;
  };
  if (!WriteAll(file, bytes)) return fail("cannot write");
  if (Injected(ReplaceStep::kSync) || !FlushFileBuffers(file)) return fail("cannot flush to disk");
  const HANDLE closing = file;
  file = INVALID_HANDLE_VALUE;
  if (!CloseHandle(closing)) return fail("cannot write");
  if (Injected(ReplaceStep::kRename)) return fail("cannot replace the file");
  const bool exists = GetFileAttributesW(target.c_str()) != INVALID_FILE_ATTRIBUTES;
  bool replaced = exists && ReplaceFileW(target.c_str(), temp.c_str(), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS,
                                         nullptr, nullptr);
  if (!replaced) {
    replaced = MoveFileExW(temp.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
  }
  if (!replaced) return fail("cannot replace the file");
  return true;
}

void FailNextReplaceAt(ReplaceStep step) { injected_step = step; }

}  // namespace platform
