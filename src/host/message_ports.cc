#include "host/message_ports.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>

namespace halvane {
namespace {

constexpr char kDefaultServiceDir[] = "/run/kestrit/services";

// Port names index a table of descriptors; 0 is never a port.
class SocketDirectoryPorts : public MessagePorts {
 public:
  std::int32_t GetSpecialPort(std::uint32_t which, PortName* port) override {
    if (which != kBootstrapSpecialPort) return kPortsInvalidArgument;
    const char* env = std::getenv("HALVANE_SERVICE_DIR");
    std::string dir = (env != nullptr && *env != '\0') ? env : kDefaultServiceDir;
    const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return kPortsFailure;
    *port = Remember(Port{fd, std::move(dir), true});
    return 0;
  }

  std::int32_t LookUpService(PortName lookup_port, std::string_view name, PortName* port) override {
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
    return 0;
  }

  std::int32_t SendMessage(const MessageHeader& message, std::uint32_t options,
                           std::uint32_t send_size, std::uint32_t /*receive_size*/,
                           PortName /*receive_port*/, std::uint32_t /*timeout*/,
                           PortName /*notify_port*/) override {
    const Port* destination = Find(message.remote_port);
    if (destination == nullptr || destination->is_directory || options != kSendOnly ||
        send_size != sizeof message) {
      return kPortsInvalidArgument;
    }
    // Non-blocking: a daemon whose queue is full makes the send fail instead of stalling.
    const ssize_t sent =
        send(destination->fd, &message, sizeof message, MSG_DONTWAIT | MSG_NOSIGNAL);
    return sent == static_cast<ssize_t>(sizeof message) ? 0 : kPortsFailure;
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

  // Held for the life of the process, as port rights are; never closed.
  std::vector<Port> ports_;
};

}  // namespace

MessagePorts& ProcessMessagePorts() {
  static SocketDirectoryPorts ports;
  return ports;
}

}  // namespace halvane
