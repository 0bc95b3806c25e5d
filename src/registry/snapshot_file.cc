#include "registry/snapshot_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "base/file_replace.h"

namespace halvane {
namespace {

constexpr char kTooLarge[] = "larger than 1 GiB, too large for a registry snapshot";

FileIdentity IdentityOf(const struct stat& info) {
  return FileIdentity{
      static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino),
      static_cast<std::int64_t>(info.st_size),
      static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec};
}

// How long a writer waits for the writers before it. A save of the largest snapshot takes
// seconds; a lock held longer than this belongs to a run that is stuck, and waiting on it
// would make this one stuck too.
constexpr auto kLockWait = std::chrono::seconds(60);

}  // namespace

Status SnapshotFile::Open(const std::string& path, RegistryUse use) {
  path_ = path;
  const auto deadline = std::chrono::steady_clock::now() + kLockWait;
  for (;;) {
    char resolved[PATH_MAX];
    if (realpath(path.c_str(), resolved) == nullptr) return Failure(ErrnoText(errno, path));
    // An absolute path without links: the folder is all before the last slash ("/" for a
    // file at the top), the name all after it ("." for the top itself).
    const std::string_view target = resolved;
    const std::size_t slash = target.find_last_of('/');
    folder_path_ = target.substr(0, std::max<std::size_t>(slash, 1));
    name_ = slash + 1 < target.size() ? target.substr(slash + 1) : std::string_view(".");
    folder_ = Fd(open(folder_path_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (folder_.get() < 0) return Failure(ErrnoText(errno, path));
    // Nothing but a regular file is opened: a device named by mistake may act when it is opened.
    StatusOr<Fd> file = OpenRegularFile(folder_.get(), name_.c_str(), FileUse::kRead);
    if (!file.ok()) return Failure(path + ": " + file.status().message());
    file_ = std::move(*file);
    if (use == RegistryUse::kRead) break;
    // A lock that cannot be had is no reason to refuse the reading: the listing is still right,
    // and the save will say why it failed.
    lock_failure_ = TakeLockBefore(deadline);
    if (!lock_failure_.ok()) break;
    if (StillNamed(IdentityNow())) {
      locked_ = true;
      break;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      lock_failure_ = Failure("snapshot kept being replaced while waiting to save: " + path);
      break;
    }
  }
  return MeasureForRead();
}

Status SnapshotFile::Save(const TextWriter& write) {
  ReplaceSignals signals;
  if (!locked_) {
    if (!lock_failure_.ok()) return lock_failure_;
    if (Status locked = TakeLockBefore(std::chrono::steady_clock::now() + kLockWait); !locked.ok())
      return locked;
    locked_ = true;
  }
  if (!StillNamed(identity_)) return Failure("snapshot changed while saving: " + path_);
  struct stat original {};
  if (fstat(file_.get(), &original) != 0) return Failure(ErrnoText(errno, path_));

  StatusOr<std::pair<Fd, std::string>> created =
      CreateTemporaryFile(folder_.get(), name_, folder_path_, RandomTemporaryName);
  if (!created.ok()) return created.status();
  Fd& out = created->first;
  const std::string& temp = created->second;
  const std::string temp_path = folder_path_ + "/" + temp;
  auto abandon = [&](Status why) {
    unlinkat(folder_.get(), temp.c_str(), 0);
    return why;
  };
  if (Status written = WriteTemporary(out.get(), temp_path, write, file_.get(), original);
      !written.ok())
    return abandon(std::move(written));
  struct stat saved {};
  if (fstat(out.get(), &saved) != 0)
    return abandon(Failure(ErrnoText(errno, "cannot read back " + temp_path)));
  if (!StillNamed(identity_)) return abandon(Failure("snapshot changed while saving: " + path_));
  if (ReplaceSignals::StopAsked()) return abandon(Failure("stopped while saving " + path_));
  if (Status renamed = RenameIntoPlace(folder_.get(), temp, name_, temp_path); !renamed.ok())
    return renamed;
  file_ = std::move(out);
  identity_ = IdentityOf(saved);
  return Status::Ok();
}

Status SnapshotFile::TakeLockBefore(std::chrono::steady_clock::time_point deadline) const {
  const StatusOr<bool> locked = LockBefore(file_.get(), deadline);
  if (!locked.ok()) return Failure("cannot lock " + path_ + ": " + locked.status().message());
  if (!*locked) return Failure("another run has been saving " + path_ + " for too long");
  return Status::Ok();
}

Status SnapshotFile::WriteTemporary(int fd, const std::string& temp_path, const TextWriter& write,
                                    int original_fd, const struct stat& original) const {
  class ToFile : public SnapshotSink {
   public:
    explicit ToFile(int fd) : fd_(fd) {}
    Status Write(std::string_view piece) override {
      failure = WriteAll(fd_, piece, ShortWrite::kContinue);
      return failure;
    }
    Status failure;

   private:
    int fd_;
  } to_file(fd);
  if (Status written = write(to_file); !written.ok()) {
    if (!to_file.failure.ok())
      return Failure("cannot write " + temp_path + ": " + to_file.failure.message());
    return written;
  }
  if (fchmod(fd, original.st_mode & 07777) != 0)
    return Failure(ErrnoText(errno, "cannot set the mode of " + temp_path));
  if ((original.st_uid != geteuid() || original.st_gid != getegid()) &&
      fchown(fd, original.st_uid, original.st_gid) != 0) {
    return Failure(ErrnoText(errno, "cannot set the owner of " + temp_path));
  }
  if (Status kept = CopyExtendedAttributes(original_fd, fd, temp_path); !kept.ok()) return kept;
  if (fsync(fd) != 0) return Failure(ErrnoText(errno, "cannot flush " + temp_path));
  // The new file is locked before it takes the name, so that a writer that opens it next
  // waits for this run as it would have on the file it replaces.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0)
    return Failure(ErrnoText(errno, "cannot lock " + temp_path));
  return Status::Ok();
}

// The extended attributes of the file read, its POSIX ACL among them, go to the file that
// replaces it; a save that cannot keep one is refused rather than drop it.
Status SnapshotFile::CopyExtendedAttributes(int from, int to, const std::string& temp_path) const {
  std::vector<char> names(4096);
  ssize_t size = 0;
  while ((size = flistxattr(from, names.data(), names.size())) < 0 && errno == ERANGE)
    names.resize(names.size() * 2);
  if (size < 0) {
    if (errno == ENOTSUP) return Status::Ok();  // a file system without them
    return Failure(ErrnoText(errno, "cannot list the extended attributes of " + path_));
  }
  std::vector<char> value(4096);
  for (const char* name = names.data(); name < names.data() + size; name += std::strlen(name) + 1) {
    ssize_t length = 0;
    while ((length = fgetxattr(from, name, value.data(), value.size())) < 0 && errno == ERANGE)
      value.resize(value.size() * 2);
    if (length < 0 || fsetxattr(to, name, value.data(), static_cast<std::size_t>(length), 0) != 0)
      return Failure(ErrnoText(errno, "cannot keep the extended attribute " + std::string(name) +
                                          " of " + path_ + " in " + temp_path));
  }
  return Status::Ok();
}

Status SnapshotFile::Failure(std::string reason) {
  return Status::Error(kIoError, std::move(reason));
}

FileIdentity SnapshotFile::IdentityNow() const {
  struct stat info {};
  return fstat(file_.get(), &info) == 0 ? IdentityOf(info) : FileIdentity{};
}

bool SnapshotFile::StillNamed(const FileIdentity& expected) const {
  struct stat in_folder {};
  struct stat by_path {};
  return fstatat(folder_.get(), name_.c_str(), &in_folder, AT_SYMLINK_NOFOLLOW) == 0 &&
         IdentityOf(in_folder) == expected && stat(path_.c_str(), &by_path) == 0 &&
         expected.SameFile(by_path);
}

Status SnapshotFile::MeasureForRead() {
  struct stat info {};
  if (fstat(file_.get(), &info) != 0) return Failure(ErrnoText(errno, path_));
  if (info.st_size > kMaxSnapshotBytes) return Failure(path_ + ": " + kTooLarge);
  identity_ = IdentityOf(info);
  return Status::Ok();
}

Status SnapshotFile::Rewind() {
  if (lseek(file_.get(), 0, SEEK_SET) != 0) return Failure(ErrnoText(errno, path_));
  read_so_far_ = 0;
  return Status::Ok();
}

StatusOr<std::size_t> SnapshotFile::ReadSome(char* buffer, std::size_t size) {
  for (;;) {
    const ssize_t n = read(file_.get(), buffer, size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Failure(ErrnoText(errno));
    read_so_far_ += n;
    if (read_so_far_ > kMaxSnapshotBytes) return Failure(kTooLarge);
    return static_cast<std::size_t>(n);
  }
}

}  // namespace halvane
