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
  int Write(const std::string& path, std::string_view bytes) override {
    // O_NONBLOCK so that a FIFO planted where an attribute should be cannot hang the run (with no
    // reader its open fails at once); O_TRUNC gives a regular file exactly the bytes, as `echo`
    // would, and changes nothing else.
    const Fd file(open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    struct stat info {};
    if (file.get() < 0) {
      const int error = errno;
      if (lstat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) return kNotAnAttribute;
      return error;
    }
    if (fstat(file.get(), &info) != 0) return errno;
    if (!S_ISREG(info.st_mode)) return kNotAnAttribute;
    return WriteAll(file.get(), bytes, ShortWrite::kFail);
  }
};

}  // namespace

AttributeWriter& ProcessAttributeWriter() {
  static FileAttributeWriter writer;
  return writer;
}

std::string WriteErrorText(int error) {
  return error == kNotAnAttribute ? "not a regular file inside the sysfs tree"
                                  : std::strerror(error);
}

}  // namespace halvane
