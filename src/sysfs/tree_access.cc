#include "sysfs/tree_access.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <deque>
#include <vector>

#if __has_include(<linux/openat2.h>)
#include <linux/openat2.h>
#endif

namespace halvane {
namespace {

// How many links one resolution may follow, as the kernel's own limit.
constexpr int kMostLinks = 40;

// Why an open was refused, the same whichever way it was resolved: by the errno the kernel's
// resolution answers, which the walk answers in its place.
Status Refused(int error) {
  switch (error) {
    case EXDEV:
      return Status::Error(kUnsupported, "leads out of the tree");
    case ELOOP:
      return Status::Error(kUnsupported, "goes through a link where none may be, or too many");
    case ENOTDIR:
      return Status::Error(kUnsupported, "goes through a file where a folder should be");
    default:
      return ErrnoStatus(error);
  }
}

// Splits a relative path into its components, empty ones and "." left out.
void Append(std::string_view path, std::deque<std::string>* components, bool at_front) {
  std::vector<std::string> parts;
  while (!path.empty()) {
    const std::size_t slash = path.find('/');
    const std::string_view part = path.substr(0, slash);
    if (!part.empty() && part != ".") parts.emplace_back(part);
    path.remove_prefix(slash == std::string_view::npos ? path.size() : slash + 1);
  }
  if (at_front) {
    components->insert(components->begin(), parts.begin(), parts.end());
  } else {
    components->insert(components->end(), parts.begin(), parts.end());
  }
}

#if defined(SYS_openat2) && defined(RESOLVE_BENEATH)
// The kernel's resolution beneath dir, on dir's own mount when same_mount; ENOSYS where the
// kernel has no openat2.
int OpenAt2(int dir, const char* relative, int flags, TreeAccess::Links links, bool same_mount) {
  open_how how{};
  how.flags = static_cast<std::uint64_t>(flags);
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS |
                (links == TreeAccess::Links::kNone ? RESOLVE_NO_SYMLINKS : 0) |
                (same_mount ? RESOLVE_NO_XDEV : 0);
  // A rename anywhere on the system while ".." is resolved makes the kernel answer EAGAIN rather
  // than risk an answer outside; the resolution is simply made again. Past a few tries the walk
  // takes over.
  for (int tries = 0; tries < 64; ++tries) {
    const long fd = syscall(SYS_openat2, dir, relative, &how, sizeof how);
    if (fd >= 0 || (errno != EINTR && errno != EAGAIN)) return static_cast<int>(fd);
  }
  errno = ENOSYS;
  return -1;
}
#else
int OpenAt2(int, const char*, int, TreeAccess::Links, bool) {
  errno = ENOSYS;
  return -1;
}
#endif

}  // namespace

TreeAccess::TreeAccess(std::string root, Resolution resolution)
    : root_(std::move(root)),
      root_fd_(open(root_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC)),
      kernel_(resolution == Resolution::kKernel) {
  struct statfs mount {};
  if (!kernel_ || root_fd_.get() < 0 || fstatfs(root_fd_.get(), &mount) != 0 ||
      mount.f_type != SYSFS_MAGIC)
    return;
  // Kept on the mount only where the kernel can keep it there.
  const Fd probe(
      OpenAt2(root_fd_.get(), ".", O_PATH | O_DIRECTORY | O_CLOEXEC, Links::kFollow, true));
  kept_on_sysfs_ = probe.get() >= 0;
}

StatusOr<Fd> TreeAccess::OpenOwn(std::string_view path, int flags) const {
  const std::optional<std::string> relative = Relative(path);
  if (!kept_on_sysfs_ || !relative) return ErrnoStatus(EXDEV);
  Fd fd(OpenAt2(root_fd_.get(), relative->c_str(), flags | O_NOFOLLOW | O_CLOEXEC, Links::kFollow,
                true));
  if (fd.get() < 0) return ErrnoStatus(errno);
  return fd;
}

std::optional<std::string> TreeAccess::Relative(std::string_view path) const {
  if (path == root_) return ".";
  const std::string_view prefix = root_ == "/" ? std::string_view("/") : std::string_view(root_);
  if (path.substr(0, prefix.size()) != prefix) return std::nullopt;
  path.remove_prefix(prefix.size());
  if (root_ != "/") {
    if (path.empty() || path[0] != '/') return std::nullopt;
    path.remove_prefix(1);
  }
  return path.empty() ? std::string(".") : std::string(path);
}

StatusOr<Fd> TreeAccess::Open(std::string_view path, Use use, Links links) const {
  switch (use) {
    case Use::kLook:
      return OpenWith(path, O_PATH | O_NOFOLLOW, links);
    case Use::kFolder:
      return OpenWith(path, O_RDONLY | O_DIRECTORY, links);
    case Use::kWrite:
      break;
  }
  const StatusOr<Fd> looked = OpenWith(path, O_PATH | O_NOFOLLOW, links);
  if (!looked.ok()) return looked.status();
  return ReopenRegularFile(*looked, FileUse::kWrite);
}

StatusOr<Fd> TreeAccess::OpenWith(std::string_view path, int flags, Links links) const {
  const std::optional<std::string> relative = Relative(path);
  if (root_fd_.get() < 0 || !relative) return Refused(EXDEV);
  if (kernel_) {
    Fd fd(OpenAt2(root_fd_.get(), relative->c_str(), flags | O_CLOEXEC, links, kept_on_sysfs_));
    if (fd.get() >= 0) return fd;
    if (errno != ENOSYS) return Refused(errno);
  }
  return Walk(*relative, flags, links, nullptr);
}

StatusOr<std::string> TreeAccess::Resolve(std::string_view path) const {
  const std::optional<std::string> relative = Relative(path);
  if (root_fd_.get() < 0 || !relative) return Refused(EXDEV);
  // The kernel's resolution, in one call, and the path it reached as it names it; the walk
  // where it has none, or where that path is not one beneath the root as the root is named.
  if (kernel_) {
    const Fd fd(OpenAt2(root_fd_.get(), relative->c_str(), O_PATH | O_CLOEXEC, Links::kFollow,
                        kept_on_sysfs_));
    if (fd.get() < 0 && errno != ENOSYS) return Refused(errno);
    if (std::optional<std::string> real = fd.get() >= 0 ? PathOfDescriptor(fd.get()) : std::nullopt;
        real && Relative(*real))
      return std::move(*real);
  }
  std::string real;
  if (const StatusOr<Fd> walked = Walk(*relative, O_PATH, Links::kFollow, &real); !walked.ok())
    return walked.status();
  if (real.empty()) return root_;
  return root_ == "/" ? "/" + real : root_ + "/" + real;
}

// Each component is opened beneath the folder reached so far without following it; a link's
// text is read and its components take its place (an absolute link, and ".." above the root,
// would leave the tree). ".." goes back to the folder the walk came through, never to whatever
// the tree calls the parent now. The last component is opened with flags from its folder, not
// following a link, so that nothing between the look and the open can redirect it.
StatusOr<Fd> TreeAccess::Walk(const std::string& relative, int flags, Links links,
                              std::string* real) const {
  std::deque<std::string> left;
  Append(relative, &left, false);
  std::vector<std::pair<Fd, std::string>> reached;  // the folders below the root, in order
  int followed = 0;
  const auto folder = [&] { return reached.empty() ? root_fd_.get() : reached.back().first.get(); };
  const bool follow_last = links == Links::kFollow && (flags & O_NOFOLLOW) == 0;
  while (!left.empty()) {
    const std::string name = std::move(left.front());
    left.pop_front();
    if (name == "..") {
      if (reached.empty()) return Refused(EXDEV);
      reached.pop_back();
      continue;
    }
    const bool last = left.empty();
    struct stat info {};
    if (fstatat(folder(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) return Refused(errno);
    if (S_ISLNK(info.st_mode) && (!last || follow_last)) {
      char target[PATH_MAX];
      const ssize_t n = readlinkat(folder(), name.c_str(), target, sizeof target - 1);
      if (n < 0) return Refused(errno);
      if (links == Links::kNone || ++followed > kMostLinks) return Refused(ELOOP);
      if (n == 0 || target[0] == '/') return Refused(EXDEV);
      Append(std::string_view(target, static_cast<std::size_t>(n)), &left, true);
      continue;
    }
    if (last) {
      Fd fd(openat(folder(), name.c_str(), flags | O_NOFOLLOW | O_CLOEXEC));
      if (fd.get() < 0) return Refused(errno);
      if (real != nullptr) {
        for (const auto& [unused, part] : reached) *real += part + "/";
        *real += name;
      }
      return fd;
    }
    Fd next(openat(folder(), name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (next.get() < 0) return Refused(errno);
    reached.emplace_back(std::move(next), name);
  }
  // The root itself, or a folder reached by "..": opened again from its own descriptor.
  if (real != nullptr) {
    for (const auto& [unused, part] : reached) *real += (real->empty() ? "" : "/") + part;
  }
  Fd fd(openat(folder(), ".", flags | O_CLOEXEC));
  if (fd.get() < 0) return Refused(errno);
  return fd;
}

}  // namespace halvane
