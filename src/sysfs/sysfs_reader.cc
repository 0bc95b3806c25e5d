#include "sysfs/sysfs_reader.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace halvane {
namespace {

constexpr std::size_t kTextAttributeLimit = 4 * 1024;
constexpr std::size_t kBinaryAttributeLimit = 64 * 1024;

StatusOr<std::optional<std::string>> ReadAttributeAt(int folder, const char* name,
                                                     std::size_t limit) {
  const StatusOr<Fd> fd = OpenRegularFile(folder, name, FileUse::kRead);
  if (!fd.ok()) {
    if (fd.status().code() == kNotFound) return std::optional<std::string>();
    return fd.status().Of(name);
  }
  // sysfs reports size 4096 or 0 for its files whatever they hold, so read to the end, one byte
  // past the limit at most. A read of a regular file that comes back short has reached the end;
  // sysfs hands out at most a page per read and a page is never smaller than the chunk, so the
  // same holds there.
  std::string content;
  char buffer[4096];
  while (content.size() <= limit) {
    const ssize_t n = read(fd->get(), buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      return ErrnoStatus(errno, name);
    }
    content.append(buffer, static_cast<std::size_t>(n));
    if (static_cast<std::size_t>(n) < sizeof buffer) break;
  }
  if (content.size() > limit)
    return Status::Error(kUnsupported, std::string(name) + ": larger than an attribute");
  return std::optional(std::move(content));
}

// The descriptor of an open that worked, or -1: a folder that cannot be opened has no names.
Fd Opened(StatusOr<Fd> fd) { return fd.ok() ? std::move(*fd) : Fd(); }

// The names in the folder open as fd, sorted; only the folders of their own (not links) when
// folders_only. The descriptor is taken.
std::vector<std::string> Names(Fd fd, bool folders_only) {
  std::vector<std::string> names;
  if (fd.get() < 0) return names;
  DIR* dir = fdopendir(fd.get());
  if (dir == nullptr) return names;
  const int dir_fd = fd.Release();  // the folder stream has it now
  while (const dirent* entry = readdir(dir)) {
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    if (folders_only) {
      struct stat info {};
      const bool folder = entry->d_type == DT_DIR ||
                          (entry->d_type == DT_UNKNOWN &&
                           fstatat(dir_fd, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 &&
                           S_ISDIR(info.st_mode));
      if (!folder) continue;
    }
    names.emplace_back(name);
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

class TreeReader : public SysfsReader {
 public:
  TreeReader(std::string root, TreeAccess::Resolution resolution)
      : tree_(std::move(root), resolution) {}

  std::vector<std::string> List(const std::string& folder) override {
    return Names(Opened(tree_.Open(folder, TreeAccess::Use::kFolder)), false);
  }
  std::vector<std::string> ListFolders(const std::string& folder) override {
    return Names(Opened(tree_.Open(folder, TreeAccess::Use::kFolder)), true);
  }
  StatusOr<std::optional<std::string>> Read(const std::string& folder, const char* name,
                                            std::size_t limit) override {
    const int fd = Open(folder);
    if (fd < 0) return std::optional<std::string>();  // no folder, no attribute
    return ReadAttributeAt(fd, name, limit);
  }
  std::optional<std::string> FirstNameIn(const std::string& folder, const char* name) override {
    const int fd = Open(folder);
    if (fd < 0) return std::nullopt;
    std::vector<std::string> names =
        Names(Fd(openat(fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)), false);
    if (names.empty()) return std::nullopt;
    return std::move(names.front());
  }
  std::optional<std::string> Resolve(const std::string& path) override {
    return tree_.Resolve(path);
  }
  bool IsFolder(const std::string& path) override {
    return tree_.Open(path, TreeAccess::Use::kFolder).ok();
  }
  bool Exists(const std::string& path) override {
    return tree_.Open(path, TreeAccess::Use::kLook).ok();
  }

 private:
  // The folder last read from, opened once for all its attributes (or found missing once).
  int Open(const std::string& folder) {
    if (!open_path_ || *open_path_ != folder) {
      open_ = Opened(tree_.Open(folder, TreeAccess::Use::kFolder));
      open_path_ = folder;
    }
    return open_.get();
  }

  TreeAccess tree_;
  std::optional<std::string> open_path_;
  Fd open_;
};

}  // namespace

std::optional<std::string> SysfsReader::ReadText(const std::string& folder, const char* name) {
  StatusOr<std::optional<std::string>> text = Read(folder, name, kTextAttributeLimit);
  if (!text.ok() || !*text) return std::nullopt;
  if (!(*text)->empty() && (*text)->back() == '\n') (*text)->pop_back();
  return std::move(*text);
}

std::optional<std::string> SysfsReader::ReadBinary(const std::string& folder, const char* name) {
  StatusOr<std::optional<std::string>> bytes = Read(folder, name, kBinaryAttributeLimit);
  return bytes.ok() ? std::move(*bytes) : std::nullopt;
}

std::unique_ptr<SysfsReader> MakeTreeReader(std::string root, TreeAccess::Resolution resolution) {
  return std::make_unique<TreeReader>(std::move(root), resolution);
}

}  // namespace halvane
