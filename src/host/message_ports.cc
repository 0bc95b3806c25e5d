#include "host/message_ports.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <vector>

namespace halvane {
namespace {

// Port names index a table of descriptors; 0 is never a port.
class SocketDirectoryPorts : public MessagePorts {
 public:
  explicit SocketDirectoryPorts(std::string service_dir) : service_dir_(std::move(service_dir)) {}

  Status GetSpecialPort(std::uint32_t which, PortName* port) override {
    if (which != kBootstrapSpecialPort) return kPortsInvalidArgument;
    const int fd = open(service_dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return kPortsFailure;
    *port = Remember(Port{fd, service_dir_, true});
    return Status::Ok();
  }

  Status LookUpService(PortName lookup_port, std::string_view name, PortName* port) override {
    const Port* directory = Find(lookup_port);
    if (directory == nullptr || !directory->is_directory) return kPortsInvalidArgument;
    // A service name names one socket in the directory and nothing outside it.
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string_view::npos ||
        name.find('\0') != std::string_view::npos) {
      return kPortsInvalidArgument;
    }
    // The name itself must be a socket: a link there could lead out of the directory.
    const std::string file(name);
    struct stat info {};
    if (fstatat(directory->fd, file.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISSOCK(info.st_mode)) {
      return kPortsFailure;
    }
    const std::string path = directory->path + "/" + file;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    // A path that does not fit is refused, never cut short to name some other socket.
    if (path.size() >= sizeof address.sun_path) return kPortsFailure;
    path.copy(address.sun_path, path.size());
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return kPortsFailure;
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
      close(fd);
      return kPortsFailure;
    }
    *port = Remember(Port{fd, path, false});
    return Status::Ok();
  }

  Status SendMessage(const MessageHeader& message, std::uint32_t options) override {
    const Port* destination = Find(message.remote_port);
    if (destination == nullptr || destination->is_directory || options != kSendOnly)
      return kPortsInvalidArgument;
    // Non-blocking: a daemon whose queue is full makes the send fail instead of stalling.
    const ssize_t sent =
        send(destination->fd, &message, sizeof message, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (sent != static_cast<ssize_t>(sizeof message)) return kPortsFailure;
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
