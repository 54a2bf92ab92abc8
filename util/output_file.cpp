// SPDX-License-Identifier: Apache-2.0
#include "util/output_file.hpp"

#include "util/atomic_file.hpp"
#include "util/error.hpp"

#include <cerrno>
#include <iostream>
#include <map>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace rovelin {

namespace fs = std::filesystem;

void checkOutputPath(const fs::path& target) {
  const fs::path directory = target.has_parent_path() ? target.parent_path() : fs::path(".");
  std::error_code ec;
  const char* problem = nullptr;
  if (!fs::exists(directory, ec)) {
    problem = "its directory does not exist";
  } else if (!fs::is_directory(directory, ec)) {
    problem = "its directory is not a directory";
  } else if (fs::is_directory(target, ec)) {
    problem = "it is a directory";
  }
  if (problem != nullptr) throw Error("cannot write \"" + target.string() + "\": " + problem);
}

int descriptorNamed(const fs::path& path) {
  const std::string name = path.string();
  if (name == "-" || name == "/dev/stdout") return STDOUT_FILENO;
  if (name == "/dev/stderr") return STDERR_FILENO;
  for (const std::string prefix : {"/dev/fd/", "/proc/self/fd/"}) {
    if (name.rfind(prefix, 0) == 0 && name.size() > prefix.size() &&
        name.size() < prefix.size() + 9) {
      int fd = 0;
      for (std::size_t i = prefix.size(); i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9') return -1;
        fd = fd * 10 + (name[i] - '0');
      }
      return fd;
    }
  }
  return -1;
}

namespace {

[[noreturn]] void failWrite(const fs::path& target, const std::string& cause) {
  throw FileWriteError(target, cause);
}

// Where a user's output name leads: links are followed (a dangling one
// leads to the file it names); a descriptor alias or a device or pipe
// sets `stream`.
struct OutputTarget {
  fs::path path;
  int descriptor = -1;  // write to this open descriptor
  bool stream = false;  // `path` is a character device or a pipe: open and write it
};

OutputTarget resolveOutput(const fs::path& target) {
  OutputTarget result{target};
  for (int hops = 0; hops < 40; ++hops) {
    result.descriptor = descriptorNamed(result.path);
    if (result.descriptor >= 0) return result;
    struct stat entry {};
    if (::lstat(result.path.c_str(), &entry) != 0) {
      if (errno == ENOENT) return result;  // a new file
      failWrite(target, std::generic_category().message(errno));
    }
    if (S_ISLNK(entry.st_mode)) {
      std::error_code ec;
      const fs::path link = fs::read_symlink(result.path, ec);
      if (ec) failWrite(target, ec.message());
      result.path = link.is_absolute() ? link : result.path.parent_path() / link;
      continue;
    }
    if (S_ISDIR(entry.st_mode)) failWrite(target, "it is a directory");
    if (S_ISCHR(entry.st_mode) || S_ISFIFO(entry.st_mode)) {
      result.stream = true;
    } else if (!S_ISREG(entry.st_mode)) {
      failWrite(target, "it is neither a regular file nor a character device or pipe");
    }
    return result;
  }
  failWrite(target, std::generic_category().message(ELOOP));
}

}  // namespace

void writeOutputFile(const fs::path& target, std::string_view bytes,
                     const std::function<void(const fs::path&)>& verify) {
  checkOutputPath(target);
  const OutputTarget resolved = resolveOutput(target);
  if (resolved.descriptor >= 0 || resolved.stream) {
    int fd = resolved.descriptor;
    if (fd == STDOUT_FILENO) std::cout.flush();  // keep the order of what the run printed
    if (fd < 0) {
      fd = ::open(resolved.path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
      if (fd < 0) failWrite(target, std::generic_category().message(errno));
    }
    int error = writeAll(fd, bytes);
    if (resolved.descriptor < 0 && ::close(fd) != 0 && error == 0) error = errno;
    if (error != 0) failWrite(target, std::generic_category().message(error));
    return;
  }
  AtomicWrite how;
  how.verify = verify;
  writeFileAtomically(resolved.path, bytes, how);
}

void writeTextAtomically(const fs::path& target, const std::string& text) {
  writeOutputFile(target, text);
}

void writeOutputFilesTogether(const std::vector<OutputPart>& parts) {
  std::vector<std::pair<fs::path, fs::path>> ready;  // (temporary, file)
  const auto discard = [&ready]() {
    for (const auto& [temporary, file] : ready) ::unlink(temporary.c_str());
  };
  try {
    for (const OutputPart& part : parts) {
      checkOutputPath(part.target);
      const OutputTarget resolved = resolveOutput(part.target);
      if (resolved.descriptor >= 0 || resolved.stream) {
        failWrite(part.target, "it is not a regular file");
      }
      ready.emplace_back(writeTemporary(resolved.path, part.bytes), resolved.path);
      if (part.verify) part.verify(ready.back().first);
    }
  } catch (...) {
    discard();
    throw;
  }
  for (std::size_t i = 0; i < ready.size(); ++i) {
    try {
      commitTemporary(ready[i].first, ready[i].second);
    } catch (...) {
      for (std::size_t j = i + 1; j < ready.size(); ++j) ::unlink(ready[j].first.c_str());
      throw;
    }
  }
}

void checkDistinctOutputs(const std::vector<std::pair<std::string, std::string>>& outputs,
                          const std::vector<std::pair<std::string, std::string>>& inputs) {
  // A name as the file system sees it: links and "." or ".." resolved as far
  // as the path exists. Folders are resolved once each, as a batch names
  // many files in few folders.
  std::map<fs::path, fs::path> folders;
  auto identity = [&folders](const std::string& name) -> std::string {
    if (descriptorNamed(name) >= 0) return name == "-" ? "/dev/stdout" : name;
    std::error_code ec;
    const fs::path absolute = fs::absolute(name, ec).lexically_normal();
    if (ec) return name;
    auto folder = folders.find(absolute.parent_path());
    if (folder == folders.end()) {
      fs::path resolved = fs::weakly_canonical(absolute.parent_path(), ec);
      if (ec) resolved = absolute.parent_path();
      folder = folders.emplace(absolute.parent_path(), resolved).first;
    }
    fs::path full = folder->second / absolute.filename();
    // A link, even a dangling one, stands for the file it leads to.
    for (int hops = 0; hops < 40 && fs::is_symlink(full, ec); ++hops) {
      const fs::path link = fs::read_symlink(full, ec);
      if (ec) break;
      full = (link.is_absolute() ? link : full.parent_path() / link).lexically_normal();
      const fs::path resolved = fs::weakly_canonical(full.parent_path(), ec);
      if (!ec) full = resolved / full.filename();
    }
    return full.string();
  };
  auto sharable = [](const std::string& name) {
    struct stat st {};
    return ::stat(name.c_str(), &st) == 0 && S_ISCHR(st.st_mode);
  };
  std::map<std::string, std::string> inputOf;
  for (const auto& [what, name] : inputs) {
    if (!name.empty()) inputOf.emplace(identity(name), what);
  }
  std::map<std::string, std::string> seen;
  for (const auto& [option, name] : outputs) {
    if (name.empty()) continue;
    const std::string key = identity(name);
    if (const auto input = inputOf.find(key); input != inputOf.end() && !sharable(name)) {
      throw Error(option + " \"" + name + "\" names " + input->second +
                  ", which would be overwritten");
    }
    const auto [at, fresh] = seen.emplace(key, option);
    if (!fresh && !sharable(name)) {
      throw Error(at->second + " and " + option + " both write \"" + name +
                  "\"; give every output its own file name");
    }
  }
}

}  // namespace rovelin
