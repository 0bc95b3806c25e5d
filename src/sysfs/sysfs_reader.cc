#include "sysfs/sysfs_reader.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>

#include "registry/file_io.h"

namespace halvane {
namespace {

std::optional<std::string> ReadAttributeAt(int folder, const char* name, std::size_t limit) {
  // O_NONBLOCK so that opening a FIFO planted in the tree cannot hang the run; the type is
  // checked before anything is read.
  const Fd fd(openat(folder, name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  if (fd.get() < 0) return std::nullopt;
  struct stat info {};
  if (fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
  // sysfs reports size 4096 or 0 for its files whatever they hold, so read to the end, one byte
  // past the limit at most. A read of a regular file that comes back short has reached the end;
  // sysfs hands out at most a page per read and a page is never smaller than the chunk, so the
  // same holds there.
  std::string content;
  char buffer[4096];
  while (content.size() <= limit) {
    const ssize_t n = read(fd.get(), buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    content.append(buffer, static_cast<std::size_t>(n));
    if (static_cast<std::size_t>(n) < sizeof buffer) break;
  }
  if (content.size() > limit) return std::nullopt;
  return content;
}

// The names in the folder open as fd, sorted; the descriptor is taken.
std::vector<std::string> Names(int fd) {
  std::vector<std::string> names;
  DIR* dir = fd >= 0 ? fdopendir(fd) : nullptr;
  if (dir == nullptr) {
    if (fd >= 0) close(fd);
    return names;
  }
  while (const dirent* entry = readdir(dir)) {
    const std::string_view name = entry->d_name;
    if (name != "." && name != "..") names.emplace_back(name);
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

class TreeReader : public SysfsReader {
 public:
  explicit TreeReader(std::string root) : root_(std::move(root)) {}

  std::vector<std::string> List(const std::string& folder) override {
    return Names(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  }
  std::optional<std::string> Read(const std::string& folder, const char* name,
                                  std::size_t limit) override {
    const int fd = Open(folder);
    return fd < 0 ? std::nullopt : ReadAttributeAt(fd, name, limit);
  }
  std::optional<std::string> FirstNameIn(const std::string& folder, const char* name) override {
    const int fd = Open(folder);
    if (fd < 0) return std::nullopt;
    std::vector<std::string> names =
        Names(openat(fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (names.empty()) return std::nullopt;
    return std::move(names.front());
  }
  std::optional<std::string> Resolve(const std::string& path) override {
    char resolved[PATH_MAX];
    if (realpath(path.c_str(), resolved) == nullptr) return std::nullopt;
    const std::string real = resolved;
    if (real != root_ && real.compare(0, root_.size() + 1, root_ + "/") != 0 && root_ != "/")
      return std::nullopt;
    return real;
  }
  bool IsFolder(const std::string& path) override {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
  }
  bool Exists(const std::string& path) override {
    struct stat info {};
    return lstat(path.c_str(), &info) == 0;
  }

 private:
  // The folder last read from, opened once for all its attributes (or found missing once).
  int Open(const std::string& folder) {
    if (!open_path_ || *open_path_ != folder) {
      open_ = Fd(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
      open_path_ = folder;
    }
    return open_.get();
  }

  std::string root_;
  std::optional<std::string> open_path_;
  Fd open_;
};

}  // namespace

std::optional<std::string> SysfsReader::ReadText(const std::string& folder, const char* name) {
  std::optional<std::string> text = Read(folder, name, kTextAttributeLimit);
  if (text && !text->empty() && text->back() == '\n') text->pop_back();
  return text;
}

std::unique_ptr<SysfsReader> MakeTreeReader(std::string root) {
  return std::make_unique<TreeReader>(std::move(root));
}

}  // namespace halvane
