#include "sysfs/attribute_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace halvane {
namespace {

class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

class FileAttributeWriter : public AttributeWriter {
 public:
  int Write(const std::string& path, std::string_view bytes) override {
    // O_NONBLOCK so that a FIFO planted where an attribute should be cannot hang the run (with no
    // reader its open fails at once); O_TRUNC gives a regular file exactly the bytes, as `echo`
    // would, and changes nothing else.
    const Descriptor file(
        open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    struct stat info {};
    if (file.get() < 0) {
      const int error = errno;
      if (lstat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) return kNotAnAttribute;
      return error;
    }
    if (fstat(file.get(), &info) != 0) return errno;
    if (!S_ISREG(info.st_mode)) return kNotAnAttribute;
    ssize_t n;
    do {
      n = write(file.get(), bytes.data(), bytes.size());
    } while (n < 0 && errno == EINTR);
    if (n < 0) return errno;
    // A store takes its value whole or not at all; a short count is a failure, never retried
    // with the rest, which the driver would read as a value of its own.
    return static_cast<std::size_t>(n) == bytes.size() ? 0 : EIO;
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
