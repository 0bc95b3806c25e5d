// Reaching anything under a sysfs root, contained by construction. Every open is resolved beneath
// a descriptor of the root: by the kernel (openat2 with RESOLVE_BENEATH) where it can, otherwise
// component by component, reading each link's text and resolving it here. Links inside the tree
// still work (sysfs is built of them); a link that leads out, an absolute link or ".." above the
// root makes the open fail, whatever happens to the tree meanwhile, since nothing is looked up
// by a path that was checked earlier. And nothing is opened for its data before it has been seen
// to be what the open is for: a folder to walk, or a regular file (OpenRegularFile), so that a
// device node, a FIFO or a socket planted in the tree is never opened. On a sysfs mount every
// resolution also stays on that mount.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "base/file_io.h"

namespace halvane {

class TreeAccess {
 public:
  enum class Resolution {
    kKernel,  // openat2 where the kernel has it, the walk otherwise
    kWalk,    // always the walk (tests run both)
  };
  // What an open is for.
  enum class Use {
    kLook,    // O_PATH, a final link not followed: the entry is looked at, never opened
    kFolder,  // a folder to list or to open names in: O_DIRECTORY, with which the kernel refuses
              // anything else before it opens it (do_open, fs/namei.c)
    kWrite,   // a regular file of its own with one link, for writing: every sysfs attribute is
              // one (kernfs makes them S_IFREG, __kernfs_create_file in fs/kernfs/file.c, and
              // only a folder's link count ever changes from the one an inode starts with,
              // kernfs_refresh_inode in fs/kernfs/inode.c)
  };
  enum class Links {
    kFollow,  // links are followed, beneath the root
    kNone,    // no component may be a link: for writes, whose paths are real paths
  };

  // root must be a real path (no links in it). A root that cannot be opened reaches nothing.
  explicit TreeAccess(std::string root, Resolution resolution = Resolution::kKernel);

  const std::string& root() const { return root_; }

  // Whether the root is a sysfs mount that every resolution is kept on (the kernel's resolution
  // with RESOLVE_NO_XDEV, which refuses to cross into whatever is mounted beneath it). There the
  // kernel makes nothing but folders, regular attribute files and links (kernfs_new_node's
  // callers in fs/sysfs: sysfs_create_dir_ns, sysfs_add_file_mode_ns, sysfs_do_create_link_sd),
  // so a name that is neither a link nor a folder is an attribute, and no device node, FIFO or
  // second name of a file elsewhere can be met at all.
  bool kept_on_sysfs() const { return kept_on_sysfs_; }

  // Where kept_on_sysfs: path opened with flags in one resolution by the kernel, on the mount, a
  // final link not followed. The system's errno comes back as it is: ELOOP for a final link,
  // EXDEV for a way off the mount or out of the tree.
  StatusOr<Fd> OpenOwn(std::string_view path, int flags) const;

  // Opens path (absolute, in the tree) for use. With kFollow a link on the way, and a final one
  // to a folder, is followed. Fails rather than leave the root: with kUnsupported for a way that
  // leads out of the tree, goes through a link where none may be or through more links than the
  // kernel follows, or meets a file where a folder should be, or for an entry that is not what
  // use takes; with ErrnoStatus for the rest (a path that is not there, one that cannot be
  // opened).
  StatusOr<Fd> Open(std::string_view path, Use use, Links links = Links::kFollow) const;

  // The real path of path, links and all, when it lies in the tree; why not otherwise, as Open
  // says it (a path that is not there answers ENOENT).
  StatusOr<std::string> Resolve(std::string_view path) const;

 private:
  // path relative to the root ("." for the root itself), or nothing for a path outside it.
  std::optional<std::string> Relative(std::string_view path) const;
  // path resolved and opened with flags (O_CLOEXEC is added); a final link is followed with
  // kFollow unless flags hold O_NOFOLLOW.
  StatusOr<Fd> OpenWith(std::string_view path, int flags, Links links) const;
  // The walk; with real, the real path reached is kept there.
  StatusOr<Fd> Walk(const std::string& relative, int flags, Links links, std::string* real) const;

  std::string root_;
  Fd root_fd_;
  bool kernel_;
  bool kept_on_sysfs_ = false;
};

}  // namespace halvane
