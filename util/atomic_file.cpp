// SPDX-License-Identifier: Apache-2.0
#include "util/atomic_file.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <mutex>
#include <set>
#include <system_error>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace rovelin {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kTemporaryMark = ".tmp-";

// The host part of temporary names: letters, digits, dots and underscores
// only, so that the dashes of the name stay separators.
const std::string& hostTag() {
  static const std::string tag = [] {
    char name[256] = {};
    if (::gethostname(name, sizeof(name) - 1) != 0 || name[0] == '\0') {
      std::strcpy(name, "localhost");
    }
    std::string result;
    for (const char* c = name; *c != '\0' && result.size() < 64; ++c) {
      const bool plain = (*c >= 'a' && *c <= 'z') || (*c >= 'A' && *c <= 'Z') ||
                         (*c >= '0' && *c <= '9') || *c == '.';
      result.push_back(plain ? *c : '_');
    }
    return result;
  }();
  return tag;
}

bool allDigits(std::string_view text) {
  return !text.empty() && text.size() <= 18 &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The process id of a temporary of this host, or 0 when `name` is not one.
long ownerOnThisHost(std::string_view name) {
  if (name.empty() || name[0] != '.') return 0;
  const std::size_t mark = name.rfind(kTemporaryMark);
  if (mark == std::string_view::npos) return 0;
  std::string_view rest = name.substr(mark + kTemporaryMark.size());
  const std::size_t lastDash = rest.rfind('-');
  if (lastDash == std::string_view::npos) return 0;
  // An encoder that picks its container by the name gets the target's
  // extension after the serial number.
  std::string_view serial = rest.substr(lastDash + 1);
  serial = serial.substr(0, serial.find('.'));
  if (!allDigits(serial)) return 0;
  rest = rest.substr(0, lastDash);
  const std::size_t pidDash = rest.rfind('-');
  if (pidDash == std::string_view::npos || rest.substr(0, pidDash) != hostTag()) return 0;
  const std::string_view pid = rest.substr(pidDash + 1);
  if (!allDigits(pid)) return 0;
  return std::stol(std::string(pid));
}

// When this process started: a file changed since then is never a
// leftover of an earlier run.
const struct timespec processStart = [] {
  struct timespec now {};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return now;
}();

// A temporary whose process looks gone may still be at work: a process in
// another PID namespace (a container with host networking, nodes sharing a
// host name and a folder) has a PID this process cannot see. Its writer
// holds a lock on it, which every namespace sees.
bool abandoned(const fs::path& temporary) {
  struct stat st {};
  if (::lstat(temporary.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  if (st.st_mtim.tv_sec > processStart.tv_sec ||
      (st.st_mtim.tv_sec == processStart.tv_sec && st.st_mtim.tv_nsec >= processStart.tv_nsec)) {
    return false;
  }
  const int fd = ::open(temporary.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  const bool unlocked = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
  ::close(fd);
  return unlocked;
}

[[noreturn]] void fail(const fs::path& target, int error) {
  throw FileWriteError(target, std::generic_category().message(error));
}

void syncDirectory(const fs::path& directory) {
  const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    ::fsync(fd);  // some file systems cannot sync a folder; the file itself is on disk
    ::close(fd);
  }
}

}  // namespace

int writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return EIO;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return 0;
}

fs::path temporaryNameFor(const fs::path& target) {
  static std::atomic<unsigned long> serial{0};
  // Long names are cut so that the temporary stays within the 255 bytes a
  // folder entry may have.
  std::string name = ".";
  name.append(target.filename().string(), 0, 120);
  name += kTemporaryMark;
  name += hostTag();
  name += '-';
  name += std::to_string(::getpid());
  name += '-';
  name += std::to_string(serial++);
  return (target.has_parent_path() ? target.parent_path() : fs::path(".")) / name;
}

void removeStaleTemporaries(const fs::path& directory) {
  static std::mutex mutex;
  static std::set<std::string> swept;
  std::error_code ec;
  const std::string key = fs::absolute(directory, ec).lexically_normal().string();
  {
    const std::lock_guard<std::mutex> lock(mutex);
    if (ec || !swept.insert(key).second) return;
  }
  for (fs::directory_iterator it(directory, ec), end; !ec && it != end; it.increment(ec)) {
    const long pid = ownerOnThisHost(it->path().filename().string());
    if (pid <= 0 || pid == ::getpid()) continue;
    if (::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH && abandoned(it->path())) {
      std::error_code ignored;
      fs::remove(it->path(), ignored);
    }
  }
}

int lockTemporary(const fs::path& temporary) {
  const int fd = ::open(temporary.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  if (fd >= 0 && ::flock(fd, LOCK_SH) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

fs::path writeTemporary(const fs::path& target, std::string_view bytes, const AtomicWrite& how) {
  removeStaleTemporaries(target.has_parent_path() ? target.parent_path() : fs::path("."));
  const fs::path temporary = temporaryNameFor(target);
  const int fd =
      ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, how.mode);
  if (fd < 0) fail(target, errno);
  ::flock(fd, LOCK_SH);  // this process is at work on it (see abandoned)

  int error = 0;
  struct stat existing {};
  if (::lstat(target.c_str(), &existing) == 0 && S_ISREG(existing.st_mode)) {
    ::fchmod(fd, existing.st_mode & 07777);  // best effort, as the file's owner may differ
  }
  error = writeAll(fd, bytes);
  if (error == 0 && how.durable && ::fsync(fd) != 0) error = errno;
  if (::close(fd) != 0 && error == 0) error = errno;
  if (error != 0) {
    ::unlink(temporary.c_str());
    fail(target, error);
  }
  return temporary;
}

void writeFileAtomically(const fs::path& target, std::string_view bytes, const AtomicWrite& how) {
  const fs::path temporary = writeTemporary(target, bytes, how);
  AtomicWrite flushed = how;
  flushed.durable = false;  // the file is on the disk already
  commitTemporary(temporary, target, flushed);
  if (how.durable) syncDirectory(target.has_parent_path() ? target.parent_path() : fs::path("."));
}

void commitTemporary(const fs::path& temporary, const fs::path& target, const AtomicWrite& how) {
  if (how.durable) {
    const int fd = ::open(temporary.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    const int error = fd < 0 || ::fsync(fd) != 0 ? errno : 0;
    if (fd >= 0) ::close(fd);
    if (error != 0) {
      ::unlink(temporary.c_str());
      fail(target, error);
    }
  }
  if (how.verify) {
    try {
      how.verify(temporary);
    } catch (...) {
      ::unlink(temporary.c_str());
      throw;
    }
  }
  if (::rename(temporary.c_str(), target.c_str()) != 0) {
    const int error = errno;
    ::unlink(temporary.c_str());
    fail(target, error);
  }
  if (how.durable) syncDirectory(target.has_parent_path() ? target.parent_path() : fs::path("."));
}

}  // namespace rovelin
