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

std::string PathOf(const std::string& folder, std::string_view name) {
  std::string path = folder;
  if (path.empty() || path.back() != '/') path += '/';
  path.append(name);
  return path;
}

// Whether a read refused with EACCES was of an attribute that only takes writes: the kernel makes
// one with a write mode and no read mode (statistics/reset_statistics, FC_HOST_ATTR with S_IWUSR in
// drivers/scsi/scsi_transport_fc.c), and refuses every read of it, root's too, since it has nothing
// to show (kernfs_fop_open, fs/kernfs/file.c). It publishes no value: it is absent, not a read
// that failed. A file whose read mode was taken away by hand keeps no write mode either, or keeps
// its read mode for its owner, and stays a failure.
bool IsWriteOnly(int folder, const char* name, const Status& refused) {
  if (refused.error_number() != EACCES) return false;
  struct stat info {};
  if (fstatat(folder, name, &info, AT_SYMLINK_NOFOLLOW) != 0) return false;
  return (info.st_mode & 0444) == 0 && (info.st_mode & 0222) != 0;
}

// What a read that could not open what it asked for answers: nothing when it is not there, else
// the failure, named by path.
Reading AbsentOr(const Status& refused, const std::string& path) {
  if (IsAbsence(refused)) return std::optional<std::string>();
  return refused.OfPath(path);
}

Reading ReadAttributeAt(int folder, const std::string& path, const char* name, std::size_t limit) {
  const StatusOr<Fd> fd = OpenRegularFile(folder, name, FileUse::kRead);
  if (!fd.ok()) {
    if (IsWriteOnly(folder, name, fd.status())) return std::optional<std::string>();
    return AbsentOr(fd.status(), path);
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
      return ErrnoStatus(errno).OfPath(path);
    }
    content.append(buffer, static_cast<std::size_t>(n));
    if (static_cast<std::size_t>(n) < sizeof buffer) break;
  }
  if (content.size() > limit)
    return Status::Error(kUnsupported, "larger than an attribute").OfPath(path);
  return std::optional(std::move(content));
}

// The names in the folder open as fd, sorted; only the folders of their own (not links) when
// folders_only. The descriptor is taken.
Listing Names(Fd fd, const std::string& path, bool folders_only) {
  std::vector<std::string> names;
  DIR* dir = fdopendir(fd.get());
  if (dir == nullptr) return ErrnoStatus(errno).OfPath(path);
  const int dir_fd = fd.Release();  // the folder stream has it now
  errno = 0;
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
    errno = 0;
  }
  const int error = errno;
  closedir(dir);
  if (error != 0) return ErrnoStatus(error).OfPath(path);
  std::sort(names.begin(), names.end());
  return names;
}

// The names of the folder at path: none when it is not there.
Listing NamesOf(StatusOr<Fd> fd, const std::string& path, bool folders_only) {
  if (!fd.ok()) {
    if (IsAbsence(fd.status())) return std::vector<std::string>();
    return fd.status().OfPath(path);
  }
  return Names(std::move(*fd), path, folders_only);
}

class TreeReader : public SysfsReader {
 public:
  TreeReader(std::string root, TreeAccess::Resolution resolution)
      : tree_(std::move(root), resolution) {}

  Listing List(const std::string& folder) override {
    return NamesOf(tree_.Open(folder, TreeAccess::Use::kFolder), folder, false);
  }
  Listing ListFolders(const std::string& folder) override {
    return NamesOf(tree_.Open(folder, TreeAccess::Use::kFolder), folder, true);
  }
  Reading Read(const std::string& folder, const char* name, std::size_t limit) override {
    const StatusOr<int> fd = Open(folder);
    if (!fd.ok()) return AbsentOr(fd.status(), folder);  // no folder, no attribute
    return ReadAttributeAt(*fd, PathOf(folder, name), name, limit);
  }
  Reading FirstNameIn(const std::string& folder, const char* name) override {
    const StatusOr<int> fd = Open(folder);
    if (!fd.ok()) return AbsentOr(fd.status(), folder);
    const std::string path = PathOf(folder, name);
    Fd opened(openat(*fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (opened.get() < 0) return AbsentOr(ErrnoStatus(errno), path);
    Listing names = Names(std::move(opened), path, false);
    if (!names.ok()) return names.status();
    if (names->empty()) return std::optional<std::string>();
    return std::optional(std::move(names->front()));
  }
  Reading Resolve(const std::string& path) override {
    StatusOr<std::string> real = tree_.Resolve(path);
    if (real.ok()) return std::optional(std::move(*real));
    return AbsentOr(real.status(), path);
  }
  bool IsFolder(const std::string& path) override {
    return tree_.Open(path, TreeAccess::Use::kFolder).ok();
  }
  bool Exists(const std::string& path) override {
    return tree_.Open(path, TreeAccess::Use::kLook).ok();
  }

 private:
  // The folder last read from, opened once for all its attributes (or found missing once).
  StatusOr<int> Open(const std::string& folder) {
    if (!open_path_ || *open_path_ != folder) {
      StatusOr<Fd> opened = tree_.Open(folder, TreeAccess::Use::kFolder);
      open_status_ = opened.ok() ? Status::Ok() : opened.status();
      open_ = opened.ok() ? std::move(*opened) : Fd();
      open_path_ = folder;
    }
    if (!open_status_.ok()) return open_status_;
    return open_.get();
  }

  TreeAccess tree_;
  std::optional<std::string> open_path_;
  Status open_status_;
  Fd open_;
};

}  // namespace

Reading SysfsReader::ReadText(const std::string& folder, const char* name) {
  Reading text = Read(folder, name, kTextAttributeLimit);
  if (text.ok() && *text && !(*text)->empty() && (*text)->back() == '\n') (*text)->pop_back();
  return text;
}

Reading SysfsReader::ReadBinary(const std::string& folder, const char* name) {
  return Read(folder, name, kBinaryAttributeLimit);
}

std::optional<std::string> Taken(Reading reading, Failures* failed) {
  if (reading.ok()) return std::move(*reading);
  failed->push_back(reading.status());
  return std::nullopt;
}

std::vector<std::string> Taken(Listing listing, Failures* failed) {
  if (listing.ok()) return std::move(*listing);
  failed->push_back(listing.status());
  return {};
}

bool IsAbsence(const Status& status) {
  return status.code() == kNotFound || status.error_number() == ENOENT;
}

std::unique_ptr<SysfsReader> MakeTreeReader(std::string root, TreeAccess::Resolution resolution) {
  return std::make_unique<TreeReader>(std::move(root), resolution);
}

}  // namespace halvane
