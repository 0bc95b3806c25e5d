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

// What a read that could not open what it asked for answers: nothing when it is not there, else
// the failure, named by path.
Reading AbsentOr(const Status& refused, const std::string& path) {
  if (IsAbsence(refused)) return std::optional<std::string>();
  return refused.OfPath(path);
}

// An entry of a folder as its listing gave it: its name and its type (d_type, DT_UNKNOWN where
// the file system does not say).
struct Entry {
  std::string name;
  unsigned char type;
  bool operator<(const Entry& other) const { return name < other.name; }
};

// The entries of the folder open as fd, sorted by name, "." and ".." left out. The descriptor
// stays the caller's, to open names in.
StatusOr<std::vector<Entry>> EntriesOf(int fd) {
  std::vector<Entry> entries;
  alignas(dirent64) char buffer[32 * 1024];
  for (;;) {
    const ssize_t n = getdents64(fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      return ErrnoStatus(errno);
    }
    if (n == 0) break;
    for (ssize_t at = 0; at < n;) {
      const auto* entry = reinterpret_cast<const dirent64*>(buffer + at);
      at += entry->d_reclen;
      const std::string_view name = entry->d_name;
      if (name != "." && name != "..") entries.push_back({std::string(name), entry->d_type});
    }
  }
  std::sort(entries.begin(), entries.end());
  return entries;
}

// The type of name in folder, by its listing where it has one, else looked at: DT_UNKNOWN when
// it is not there, and why when it cannot be looked at (a folder that may be listed but not
// searched), which is a failure, not an absence.
StatusOr<unsigned char> TypeOf(int folder, const std::vector<Entry>* listed, const char* name) {
  if (listed != nullptr) {
    const auto found = std::lower_bound(listed->begin(), listed->end(), Entry{name, DT_UNKNOWN});
    if (found == listed->end() || found->name != name) return DT_UNKNOWN;
    if (found->type != DT_UNKNOWN) return found->type;
  }
  struct stat info {};
  if (fstatat(folder, name, &info, AT_SYMLINK_NOFOLLOW) == 0) return IFTODT(info.st_mode);
  if (errno == ENOENT) return DT_UNKNOWN;
  return ErrnoStatus(errno);
}

Status NotRegular() { return Status::Error(kUnsupported, "not a regular file"); }

// The attribute file name in folder, opened for reading; nothing when it is not there. On a
// sysfs mount kept to itself every name that is no link and no folder is an attribute, so it is
// opened straight away (a folder opens, and its read answers EISDIR). Elsewhere the folder's
// listing says what each name is before any is opened, and the descriptor read from is looked
// at again, so that a file exchanged for something else in between is never read; the open
// neither waits (O_NONBLOCK, for a FIFO) nor takes a terminal.
StatusOr<std::optional<Fd>> OpenAttribute(const TreeAccess& tree, int folder,
                                          const std::vector<Entry>* listed, const char* name,
                                          const std::string& path) {
  StatusOr<Fd> opened = Status::Ok();
  if (tree.kept_on_sysfs()) {
    opened = tree.OpenOwn(path, O_RDONLY | O_NOCTTY);
  } else {
    const StatusOr<unsigned char> type = TypeOf(folder, listed, name);
    if (!type.ok()) return type.status();
    if (*type == DT_UNKNOWN) return std::optional<Fd>();
    if (*type != DT_REG) return NotRegular();
    Fd fd(openat(folder, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    opened = fd.get() >= 0 ? StatusOr<Fd>(std::move(fd)) : ErrnoStatus(errno);
    struct stat info {};
    if (opened.ok() && (fstat(opened->get(), &info) != 0 || !S_ISREG(info.st_mode)))
      return NotRegular();
  }
  if (opened.ok()) return std::optional(std::move(*opened));
  if (opened.status().error_number() == ELOOP) return NotRegular();
  if (opened.status().error_number() == EXDEV)
    return Status::Error(kUnsupported, "leads out of the tree");
  if (opened.status().error_number() == ENOTDIR)
    return Status::Error(kUnsupported, "goes through a file where a folder should be");
  if (IsAbsence(opened.status())) return std::optional<Fd>();
  return opened.status();
}

// The attribute's content, at most limit bytes.
Reading ReadOpened(int fd, const std::string& path, std::size_t limit) {
  // sysfs reports size 4096 or 0 for its files whatever they hold, so read to the end, one byte
  // past the limit at most. A read of a regular file that comes back short has reached the end;
  // sysfs hands out at most a page per read and a page is never smaller than the chunk, so the
  // same holds there.
  std::string content;
  char buffer[4096];
  while (content.size() <= limit) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EISDIR) return NotRegular().OfPath(path);
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
// folders_only.
Listing Names(const Fd& fd, const std::string& path, bool folders_only) {
  StatusOr<std::vector<Entry>> entries = EntriesOf(fd.get());
  if (!entries.ok()) return entries.status().OfPath(path);
  std::vector<std::string> names;
  for (Entry& entry : *entries) {
    if (folders_only) {
      const StatusOr<unsigned char> type =
          entry.type != DT_UNKNOWN ? entry.type : TypeOf(fd.get(), nullptr, entry.name.c_str());
      if (!type.ok() || *type != DT_DIR) continue;
    }
    names.push_back(std::move(entry.name));
  }
  return names;
}

// The names of the folder at path: none when it is not there.
Listing NamesOf(StatusOr<Fd> fd, const std::string& path, bool folders_only) {
  if (!fd.ok()) {
    if (IsAbsence(fd.status())) return std::vector<std::string>();
    return fd.status().OfPath(path);
  }
  return Names(*fd, path, folders_only);
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
  // On a sysfs mount kept to itself each attribute is opened by its whole path, in one
  // resolution; elsewhere from its folder, opened once for all of them, with its listing.
  Reading Read(const std::string& folder, const char* name, std::size_t limit) override {
    const std::string path = PathOf(folder, name);
    int fd = -1;
    if (!tree_.kept_on_sysfs()) {
      const StatusOr<int> opened = Open(folder);
      if (!opened.ok()) return AbsentOr(opened.status(), folder);  // no folder, no attribute
      fd = *opened;
    }
    StatusOr<std::optional<Fd>> file = OpenAttribute(tree_, fd, Listed(), name, path);
    if (!file.ok()) {
      if (IsWriteOnly(fd, name, path, file.status())) return std::optional<std::string>();
      return file.status().OfPath(path);
    }
    if (!*file) return std::optional<std::string>();
    return ReadOpened((*file)->get(), path, limit);
  }
  Reading FirstNameIn(const std::string& folder, const char* name) override {
    const std::string path = PathOf(folder, name);
    StatusOr<Fd> opened = Status::Ok();
    if (tree_.kept_on_sysfs()) {
      opened = tree_.OpenOwn(path, O_RDONLY | O_DIRECTORY);
    } else {
      const StatusOr<int> fd = Open(folder);
      if (!fd.ok()) return AbsentOr(fd.status(), folder);
      // Not in the folder: nothing to open.
      if (const std::vector<Entry>* listed = Listed(); listed != nullptr) {
        const StatusOr<unsigned char> type = TypeOf(*fd, listed, name);
        if (type.ok() && *type == DT_UNKNOWN) return std::optional<std::string>();
      }
      Fd sub(openat(*fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      opened = sub.get() >= 0 ? StatusOr<Fd>(std::move(sub)) : ErrnoStatus(errno);
    }
    if (!opened.ok()) return AbsentOr(opened.status(), path);
    Listing names = Names(*opened, path, false);
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
  // Whether a read refused with EACCES was of an attribute that only takes writes: the kernel
  // makes one with a write mode and no read mode (statistics/reset_statistics, FC_HOST_ATTR with
  // S_IWUSR in drivers/scsi/scsi_transport_fc.c), and refuses every read of it, root's too, since
  // it has nothing to show (kernfs_fop_open, fs/kernfs/file.c). It publishes no value: it is
  // absent, not a read that failed. A file whose read mode was taken away by hand keeps no write
  // mode either, or keeps its read mode for its owner, and stays a failure. Looked at in folder
  // where it is open, else by path.
  bool IsWriteOnly(int folder, const char* name, const std::string& path, const Status& refused) {
    if (refused.error_number() != EACCES) return false;
    struct stat info {};
    if (folder >= 0) {
      if (fstatat(folder, name, &info, AT_SYMLINK_NOFOLLOW) != 0) return false;
    } else {
      const StatusOr<Fd> looked = tree_.Open(path, TreeAccess::Use::kLook);
      if (!looked.ok() || fstat(looked->get(), &info) != 0) return false;
    }
    return (info.st_mode & 0444) == 0 && (info.st_mode & 0222) != 0;
  }

  // The folder last read from, opened once for all its attributes (or found missing once).
  StatusOr<int> Open(const std::string& folder) {
    if (!open_path_ || *open_path_ != folder) {
      StatusOr<Fd> opened = tree_.Open(folder, TreeAccess::Use::kFolder);
      open_status_ = opened.ok() ? Status::Ok() : opened.status();
      open_ = opened.ok() ? std::move(*opened) : Fd();
      open_path_ = folder;
      listed_.reset();
      listing_tried_ = false;
    }
    if (!open_status_.ok()) return open_status_;
    return open_.get();
  }
  // The listing of the folder last read from, taken once, where the tree needs one to tell an
  // attribute from anything else; nothing where it is not needed or could not be taken (each
  // name is then looked at on its own).
  const std::vector<Entry>* Listed() {
    if (tree_.kept_on_sysfs()) return nullptr;
    if (!listing_tried_) {
      listing_tried_ = true;
      StatusOr<std::vector<Entry>> entries = EntriesOf(open_.get());
      if (entries.ok()) listed_ = std::move(*entries);
    }
    return listed_ ? &*listed_ : nullptr;
  }

  TreeAccess tree_;
  std::optional<std::string> open_path_;
  Status open_status_;
  Fd open_;
  std::optional<std::vector<Entry>> listed_;
  bool listing_tried_ = false;
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
