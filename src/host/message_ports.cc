#include "host/message_ports.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "base/file_io.h"

namespace halvane {
namespace {

Status NotAPort(std::string_view what) { return Status::Error(kBadArgument, std::string(what)); }

// Port names index a table of descriptors; 0 is never a port.
class SocketDirectoryPorts : public MessagePorts {
 public:
  explicit SocketDirectoryPorts(std::string service_dir) : service_dir_(std::move(service_dir)) {}

  StatusOr<PortName> LookupPort() override {
    const int fd = open(service_dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return ErrnoStatus(errno, service_dir_);
    return Remember(Port{fd, service_dir_, true});
  }

  StatusOr<PortName> LookUpService(PortName lookup_port, std::string_view name) override {
    const Port* directory = Find(lookup_port);
    if (directory == nullptr || !directory->is_directory) return NotAPort("not a lookup port");
    // A service name names one socket in the directory and nothing outside it.
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string_view::npos ||
        name.find('\0') != std::string_view::npos) {
      return NotAPort("not a service name");
    }
    // The name itself must be a socket: a link there could lead out of the directory.
    const std::string file(name);
    const std::string path = directory->path + "/" + file;
    struct stat info {};
    if (fstatat(directory->fd, file.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0)
      return ErrnoStatus(errno, path);
    if (!S_ISSOCK(info.st_mode)) return Status::Error(kNoDevice, path + ": not a socket");
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    // A path that does not fit is refused, never cut short to name some other socket.
    if (path.size() >= sizeof address.sun_path)
      return Status::Error(kUnsupported, path + ": too long for a socket's address");
    path.copy(address.sun_path, path.size());
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return ErrnoStatus(errno, path);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
      const Status failed = ErrnoStatus(errno, path);
      close(fd);
      return failed;
    }
    return Remember(Port{fd, path, false});
  }

  Status SendMessage(const MessageHeader& message) override {
    const Port* destination = Find(message.remote_port);
    if (destination == nullptr || destination->is_directory)
      return NotAPort("not a service's port");
    // Non-blocking: a daemon whose queue is full makes the send fail instead of stalling.
    const ssize_t sent =
        send(destination->fd, &message, sizeof message, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (sent < 0) return ErrnoStatus(errno, destination->path);
    if (sent != static_cast<ssize_t>(sizeof message))
      return Status::Error(kIoError, destination->path + ": the message was cut short");
    return Status::Ok();
  }

 private:
  struct Port {
    int fd;
    std::string path;
    bool is_directory;
  };

  PortName Remember(Port port) {
    ports_.push_back(std::move(port));
    return static_cast<PortName>(ports_.size());
  }

  const Port* Find(PortName name) const {
    if (name == 0 || name > ports_.size()) return nullptr;
    return &ports_[name - 1];
  }

  std::string service_dir_;
  // Held for the life of the process, as port rights are; never closed.
  std::vector<Port> ports_;
};

}  // namespace

std::unique_ptr<MessagePorts> MakeServiceDirectoryPorts(std::string service_dir) {
  return std::make_unique<SocketDirectoryPorts>(std::move(service_dir));
}

}  // namespace halvane
