// Careful access to a sysfs tree. Attribute files are read with a size bound, never through a
// symbolic link of their own, and never when they are not regular files (a FIFO would block the
// tool); links are resolved only where the kernel puts them, and never to a place outside the
// tree.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace halvane {

inline constexpr std::size_t kTextAttributeLimit = 4 * 1024;
inline constexpr std::size_t kBinaryAttributeLimit = 64 * 1024;

// A text attribute without its one trailing line end.
std::optional<std::string> ReadTextAttribute(const std::string& path);

// An open folder whose attribute files are read by name, without walking the folder's path again
// for each one. A folder that cannot be opened reads as empty.
class AttributeFolder {
 public:
  explicit AttributeFolder(const std::string& path);
  ~AttributeFolder();
  AttributeFolder(const AttributeFolder&) = delete;
  AttributeFolder& operator=(const AttributeFolder&) = delete;

  std::optional<std::string> Read(const char* name, std::size_t limit) const;
  std::optional<std::string> ReadText(const char* name) const;
  // The first name, in sorted order, inside the subfolder name (which must be a folder of its
  // own, not a link); nothing when it is missing or empty. The kernel puts exactly one entry in
  // the folders read this way (a disk's block/ and scsi_generic/).
  std::optional<std::string> FirstNameIn(const char* name) const;

 private:
  int fd_;
};

// Everything the live registry reads from the tree goes through this: the folders it lists and
// the attribute files it reads, named by folder and file. A run's reads can then be seen, and
// counted, by standing a twin in its place.
class SysfsReader {
 public:
  virtual ~SysfsReader() = default;
  // The names in folder, sorted, as ListFolder.
  virtual std::vector<std::string> List(const std::string& folder) = 0;
  // The file name inside folder, as AttributeFolder::Read.
  virtual std::optional<std::string> Read(const std::string& folder, const char* name,
                                          std::size_t limit) = 0;
  // As AttributeFolder::FirstNameIn.
  virtual std::optional<std::string> FirstNameIn(const std::string& folder, const char* name) = 0;

  // A text attribute without its one trailing line end.
  std::optional<std::string> ReadText(const std::string& folder, const char* name);
};

// Reads the tree itself. Attributes are read one folder after another (a logical unit's, then the
// next one's), so the folder last read from stays open and its files are opened relative to it.
std::unique_ptr<SysfsReader> MakeTreeReader();

// The names in a folder, sorted; empty when it cannot be read. "." and ".." are left out.
std::vector<std::string> ListFolder(const std::string& path);

// The real path of path when it resolves (links and all) to a place inside root, which must
// itself be a real path; nothing otherwise, and nothing for a link loop.
std::optional<std::string> ResolveInside(const std::string& root, const std::string& path);

// Whether path names an existing folder (following links).
bool IsFolder(const std::string& path);
// Whether path names an existing entry of any kind, without following a final link.
bool Exists(const std::string& path);

}  // namespace halvane
