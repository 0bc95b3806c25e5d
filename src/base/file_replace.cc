#include "base/file_replace.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <random>

namespace halvane {
namespace {

// The signal that asked the run to stop while it was replacing a file, 0 for none.
volatile std::sig_atomic_t g_stop_signal = 0;
extern "C" void NoteStop(int signal) { g_stop_signal = signal; }

Status Failure(std::string reason) { return Status::Error(kIoError, std::move(reason)); }

}  // namespace

ReplaceSignals::ReplaceSignals() {
  g_stop_signal = 0;
  struct sigaction action {};
  sigemptyset(&action.sa_mask);
  action.sa_handler = SIG_IGN;
  Install(SIGXFSZ, action, false);
  action.sa_handler = NoteStop;
  for (int signal : {SIGTERM, SIGINT, SIGHUP}) Install(signal, action, true);
}

ReplaceSignals::~ReplaceSignals() {
  for (const Saved& s : saved_) sigaction(s.signal, &s.action, nullptr);
  if (const int signal = g_stop_signal; signal != 0) raise(signal);
}

bool ReplaceSignals::StopAsked() { return g_stop_signal != 0; }

// Takes signal over, unless only_from_default and it is not at its default.
void ReplaceSignals::Install(int signal, const struct sigaction& action, bool only_from_default) {
  Saved saved{signal, {}};
  if (sigaction(signal, nullptr, &saved.action) != 0) return;
  if (only_from_default && saved.action.sa_handler != SIG_DFL) return;
  if (sigaction(signal, &action, nullptr) == 0) saved_.push_back(saved);
}

// The name is cut short where the whole would not fit a file name.
std::string RandomTemporaryName(std::string_view name) {
  static constexpr char kLetters[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  std::random_device random;
  std::string temp = std::string(name.substr(0, NAME_MAX - 7)) + ".";
  for (int i = 0; i < 6; ++i) temp.push_back(kLetters[random() % (sizeof kLetters - 1)]);
  return temp;
}

StatusOr<std::pair<Fd, std::string>> CreateTemporaryFile(int folder, std::string_view name,
                                                         std::string_view folder_path,
                                                         const TemporaryNames& names) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string temp = names(name);
    Fd fd(openat(folder, temp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (fd.get() >= 0) return std::pair(std::move(fd), std::move(temp));
    if (errno != EEXIST) break;
  }
  return Failure(ErrnoText(errno, "cannot create a temporary file in " + std::string(folder_path)));
}

Status RenameIntoPlace(int folder, const std::string& temp, const std::string& name,
                       const std::string& temp_path) {
  if (renameat(folder, temp.c_str(), folder, name.c_str()) != 0) {
    const int error = errno;
    unlinkat(folder, temp.c_str(), 0);
    return Failure(ErrnoText(error, "cannot rename " + temp_path + " to " + name));
  }
  // Makes the rename itself durable; the replacement has happened whatever this answers. A
  // folder opened with O_PATH cannot be flushed, so it is opened again, through its descriptor.
  if (Fd opened(openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)); opened.get() >= 0)
    fsync(opened.get());
  return Status::Ok();
}

StatusOr<ReplacedFile> ReplacedFile::Open(const std::string& path, TemporaryNames names) {
  const std::size_t slash = path.find_last_of('/');
  std::string folder_path = slash == std::string::npos ? "."
                            : slash == 0               ? "/"
                                                       : path.substr(0, slash);
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (name.empty() || name == "." || name == "..")
    return Failure(path + " names a folder, not a file");
  // O_NOFOLLOW: the folder itself is not a link that someone able to write its parent could
  // have put in its place.
  Fd folder(open(folder_path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (folder.get() < 0) return Failure(ErrnoText(errno, "cannot open the folder of " + path));
  return ReplacedFile(path, std::move(folder_path), std::move(name), std::move(folder),
                      std::move(names));
}

Status ReplacedFile::Replace(std::string_view bytes, mode_t mode) const {
  ReplaceSignals signals;
  StatusOr<std::pair<Fd, std::string>> created =
      CreateTemporaryFile(folder_.get(), name_, folder_path_, names_);
  if (!created.ok()) return created.status();
  // Named one by one, not bound as a pair: the lambda below takes temp, which a structured binding
  // could not be for every compiler the project supports.
  const Fd& out = created->first;
  const std::string& temp = created->second;
  const std::string temp_path = folder_path_ + "/" + temp;
  auto abandon = [&](Status why) {
    unlinkat(folder_.get(), temp.c_str(), 0);
    return why;
  };
  if (Status written = WriteAll(out.get(), bytes, ShortWrite::kContinue); !written.ok())
    return abandon(written.Of("cannot write " + temp_path));
  if (fchmod(out.get(), mode) != 0)
    return abandon(Failure(ErrnoText(errno, "cannot set the mode of " + temp_path)));
  if (fsync(out.get()) != 0) return abandon(Failure(ErrnoText(errno, "cannot flush " + temp_path)));
  if (ReplaceSignals::StopAsked()) return abandon(Failure("stopped while writing " + path_));
  return RenameIntoPlace(folder_.get(), temp, name_, temp_path);
}

}  // namespace halvane
