#include "sysfs/sysfs_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>

namespace halvane {

namespace {

std::optional<std::string> ReadAttributeAt(int folder, const char* name, std::size_t limit) {
  // O_NONBLOCK so that opening a FIFO planted in the tree cannot hang the run; the type is
  // checked before anything is read.
  const int fd = openat(folder, name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return std::nullopt;
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    close(fd);
    return std::nullopt;
  }
  // sysfs reports size 0 for its files, so read to the end, one byte past the limit at most.
  // A read of a regular file that comes back short has reached the end; sysfs hands out at most
  // a page per read and a page is never smaller than the chunk, so the same holds there.
  std::string content;
  char buffer[4096];
  bool failed = false;
  while (content.size() <= limit) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      failed = true;
      break;
    }
    content.append(buffer, static_cast<std::size_t>(n));
    if (static_cast<std::size_t>(n) < sizeof buffer) break;
  }
  close(fd);
  if (failed || content.size() > limit) return std::nullopt;
  return content;
}

void StripLineEnd(std::optional<std::string>& text) {
  if (text && !text->empty() && text->back() == '\n') text->pop_back();
}

}  // namespace

std::optional<std::string> ReadTextAttribute(const std::string& path) {
  std::optional<std::string> text = ReadAttributeAt(AT_FDCWD, path.c_str(), kTextAttributeLimit);
  StripLineEnd(text);
  return text;
}

AttributeFolder::AttributeFolder(const std::string& path)
    : fd_(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {}

AttributeFolder::~AttributeFolder() {
  if (fd_ >= 0) close(fd_);
}

std::optional<std::string> AttributeFolder::Read(const char* name, std::size_t limit) const {
  if (fd_ < 0) return std::nullopt;
  return ReadAttributeAt(fd_, name, limit);
}

std::optional<std::string> AttributeFolder::ReadText(const char* name) const {
  std::optional<std::string> text = Read(name, kTextAttributeLimit);
  StripLineEnd(text);
  return text;
}

std::optional<std::string> AttributeFolder::FirstNameIn(const char* name) const {
  if (fd_ < 0) return std::nullopt;
  const int fd = openat(fd_, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  DIR* dir = fdopendir(fd);
  if (dir == nullptr) {
    close(fd);
    return std::nullopt;
  }
  std::optional<std::string> first;
  while (const dirent* entry = readdir(dir)) {
    const std::string_view entry_name = entry->d_name;
    if (entry_name == "." || entry_name == "..") continue;
    if (!first || entry_name < *first) first = std::string(entry_name);
  }
  closedir(dir);
  return first;
}

std::optional<std::string> SysfsReader::ReadText(const std::string& folder, const char* name) {
  std::optional<std::string> text = Read(folder, name, kTextAttributeLimit);
  StripLineEnd(text);
  return text;
}

namespace {

class TreeReader : public SysfsReader {
 public:
  std::vector<std::string> List(const std::string& folder) override { return ListFolder(folder); }
  std::optional<std::string> Read(const std::string& folder, const char* name,
                                  std::size_t limit) override {
    return Open(folder).Read(name, limit);
  }
  std::optional<std::string> FirstNameIn(const std::string& folder, const char* name) override {
    return Open(folder).FirstNameIn(name);
  }

 private:
  const AttributeFolder& Open(const std::string& folder) {
    if (!open_ || open_path_ != folder) {
      open_.reset();  // one descriptor at a time
      open_ = std::make_unique<AttributeFolder>(folder);
      open_path_ = folder;
    }
    return *open_;
  }

  std::string open_path_;
  std::unique_ptr<AttributeFolder> open_;
};

}  // namespace

std::unique_ptr<SysfsReader> MakeTreeReader() { return std::make_unique<TreeReader>(); }

std::vector<std::string> ListFolder(const std::string& path) {
  std::vector<std::string> names;
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) return names;
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

std::optional<std::string> ResolveInside(const std::string& root, const std::string& path) {
  char resolved[PATH_MAX];
  if (realpath(path.c_str(), resolved) == nullptr) return std::nullopt;
  const std::string real = resolved;
  if (real != root && real.compare(0, root.size() + 1, root + "/") != 0 && root != "/") {
    return std::nullopt;
  }
  return real;
}

bool IsFolder(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool Exists(const std::string& path) {
  struct stat info {};
  return lstat(path.c_str(), &info) == 0;
}

}  // namespace halvane
