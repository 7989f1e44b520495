// Whole-file reading and atomic replacement on POSIX: open, write, fsync, rename.
#include "platform/file.h"

#include <fcntl.h>     // open, O_*
#include <sys/stat.h>  // fstat, lstat, fchmod
#include <unistd.h>    // read, write, fsync, close, unlink, fchown, getpid

#include <atomic>
#include <cerrno>
#include <cstdlib>  // realpath, free
#include <string>

#include "platform/system_error.h"

namespace platform {
namespace {

std::atomic<ReplaceStep> injected_step{ReplaceStep::kNone};
std::atomic<unsigned> temp_serial{0};

// True when the injected fault is due at `step`; it fires once.
bool Injected(ReplaceStep step) {
  ReplaceStep expected = step;
  if (!injected_step.compare_exchange_strong(expected, ReplaceStep::kNone)) return false;
  errno = ENOSPC;
  return true;
}

std::string Reason(const char* what) { return std::string(what) + ": " + ErrorText(errno); }

// The file a replacement must write: the target of a symbolic link, else the path itself.
std::string ResolveTarget(const std::string& path) {
  struct stat link_info {};
  if (::lstat(path.c_str(), &link_info) != 0 || !S_ISLNK(link_info.st_mode)) return path;
  char* resolved = ::realpath(path.c_str(), nullptr);
  if (resolved == nullptr) return path;  // a dangling link: replace the link itself
  std::string target(resolved);
  std::free(resolved);
  return target;
}

bool WriteAll(int fd, std::string_view bytes) {
  // An injected failure lets half of the bytes out first, as a disk that fills up mid-way.
  const bool fail_midway = Injected(ReplaceStep::kWrite);
  if (fail_midway) bytes = bytes.substr(0, bytes.size() / 2);
  while (!bytes.empty()) {
    ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  if (fail_midway) errno = ENOSPC;
  return !fail_midway;
}

// Flushes the folder's entry for the renamed file; the rename has happened either way, so a
// folder that cannot be synced does not turn a completed replacement into a failure.
void SyncFolderOf(const std::string& target) {
  std::size_t slash = target.find_last_of('/');
  std::string folder = slash == std::string::npos ? "." : (slash == 0 ? "/" : target.substr(0, slash));
  int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

}  // namespace

FileRead ReadWholeFile(const std::string& path, std::string& bytes, std::string& error) {
  bytes.clear();
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    // A path through a file names no file either; saving there is what will fail, and say why.
    if (errno == ENOENT || errno == ENOTDIR) return FileRead::kMissing;
    error = ErrorText(errno);
    return FileRead::kFailed;
  }
  char buffer[8192];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      error = ErrorText(errno);  // e.g. a folder at the path
      ::close(fd);
      bytes.clear();
      return FileRead::kFailed;
    }
    bytes.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return FileRead::kRead;
}

BoundedRead ReadFileUpTo(const std::string& path, std::uint64_t max_bytes, std::string& bytes, std::string& error,
                         std::uint64_t& size) {
  bytes.clear();
  size = 0;
  // Non-blocking, so that opening a pipe with no writer returns at once; no controlling terminal.
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    if (errno == ENOENT || errno == ENOTDIR) return BoundedRead::kMissing;
    error = ErrorText(errno);
    return BoundedRead::kFailed;
  }
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    error = ErrorText(errno);
    return BoundedRead::kFailed;
  }
  if (!S_ISREG(info.st_mode)) {
    error = S_ISDIR(info.st_mode)                            ? "a folder, not a file"
            : S_ISFIFO(info.st_mode)                         ? "a pipe, not a file"
            : S_ISCHR(info.st_mode) || S_ISBLK(info.st_mode) ? "a device, not a file"
                                                             : "not a regular file";
    return BoundedRead::kNotAFile;
  }
  size = static_cast<std::uint64_t>(info.st_size);
  if (size > max_bytes) return BoundedRead::kTooLarge;
  bytes.reserve(static_cast<std::size_t>(size));
  char buffer[8192];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      error = ErrorText(errno);
      bytes.clear();
      return BoundedRead::kFailed;
    }
    if (bytes.size() + static_cast<std::size_t>(n) > max_bytes) {
      size = bytes.size() + static_cast<std::size_t>(n);  // it grew while being read
      bytes.clear();
      return BoundedRead::kTooLarge;
    }
    bytes.append(buffer, static_cast<std::size_t>(n));
  }
  size = bytes.size();
  return BoundedRead::kRead;
}

bool ReplaceFileAtomically(const std::string& path, std::string_view bytes, std::string& error) {
  const std::string target = ResolveTarget(path);
  const std::string temp =
      target + "." + std::to_string(::getpid()) + "-" + std::to_string(temp_serial.fetch_add(1)) + ".tmp";

  struct stat old_info {};
  const bool replacing = ::stat(target.c_str(), &old_info) == 0;

  int fd = Injected(ReplaceStep::kCreate) ? -1 : ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) {
    error = Reason("cannot create a temporary file beside it");
    return false;
  }
  auto fail = [&](const char* what) {
    error = Reason(what);
    if (fd >= 0) ::close(fd);
    ::unlink(temp.c_str());
    return false;
  };
  if (replacing && S_ISREG(old_info.st_mode)) {
    // The user's file keeps its permissions and, where allowed, its owner.
    ::fchmod(fd, old_info.st_mode & 07777);
    if (::fchown(fd, old_info.st_uid, old_info.st_gid) != 0) {
      // Only a privileged process may give a file away; the permissions above still hold.
    }
  }
  if (!WriteAll(fd, bytes)) return fail("cannot write");
  if (Injected(ReplaceStep::kSync) || ::fsync(fd) != 0) return fail("cannot flush to disk");
  const int closing = fd;
  fd = -1;
  if (::close(closing) != 0) return fail("cannot write");
  if (Injected(ReplaceStep::kRename) || ::rename(temp.c_str(), target.c_str()) != 0) {
    return fail("cannot replace the file");
  }
  SyncFolderOf(target);
  return true;
}

void FailNextReplaceAt(ReplaceStep step) { injected_step = step; }

}  // namespace platform
