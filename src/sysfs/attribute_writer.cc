#include "sysfs/attribute_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "registry/file_io.h"

namespace halvane {
namespace {

class FileAttributeWriter : public AttributeWriter {
 public:
  Status Write(const std::string& path, std::string_view bytes) override {
    // O_NONBLOCK so that a FIFO planted where an attribute should be cannot hang the run (with no
    // reader its open fails at once); O_TRUNC gives a regular file exactly the bytes, as `echo`
    // would, and changes nothing else.
    const Fd file(open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    struct stat info {};
    if (file.get() < 0) {
      const int error = errno;
      if (lstat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode))
        return AttributeWriteStatus(kNotAnAttribute);
      return AttributeWriteStatus(error);
    }
    if (fstat(file.get(), &info) != 0) return AttributeWriteStatus(errno);
    if (!S_ISREG(info.st_mode)) return AttributeWriteStatus(kNotAnAttribute);
    if (const int error = WriteAll(file.get(), bytes, ShortWrite::kFail); error != 0)
      return AttributeWriteStatus(error);
    return Status::Ok();
  }
};

}  // namespace

AttributeWriter& ProcessAttributeWriter() {
  static FileAttributeWriter writer;
  return writer;
}

Status AttributeWriteStatus(int error) {
  switch (error) {
    case 0:
      return Status::Ok();
    case kNotAnAttribute:
      return Status::Error(kRegistryUnsupported, "not a regular file inside the sysfs tree");
    case EPERM:
    case EACCES:
      return Status::Error(kRegistryNotPrivileged, std::strerror(error));
    case EINVAL:
      return Status::Error(kRegistryBadArgument, std::strerror(error));
    default:
      return Status::Error(kRegistryIoError, std::strerror(error));
  }
}

}  // namespace halvane
