#include "sysfs/attribute_writer.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <map>

namespace halvane {
namespace {

// How long a run waits for another that changes the same host. A change takes well under a
// second; a hold kept longer belongs to a run that is stuck, and waiting on it would make this one
// stuck too.
constexpr auto kHoldWait = std::chrono::seconds(60);

// Writes bytes to the attribute name of the folder open as dir: a regular file with one link
// (OpenRegularFile), so that no device, FIFO or file that is also named outside the tree is ever
// written, or even opened.
Status Store(int dir, const char* name, std::string_view bytes) {
  const StatusOr<Fd> file = OpenRegularFile(dir, name, FileUse::kWrite);
  if (!file.ok()) return file.status();
  return WriteAll(file->get(), bytes, ShortWrite::kFail);
}

// One write of WriteTogether, made in a thread of its own.
struct ThreadedWrite {
  int dir;
  const AttributeWrite* write;
  Status status;
  pthread_t thread;
};

extern "C" void* StoreInThread(void* argument) {
  auto* job = static_cast<ThreadedWrite*>(argument);
  job->status = Store(job->dir, job->write->name, job->write->bytes);
  return nullptr;
}

class TreeWriter : public AttributeWriter {
 public:
  TreeWriter(std::string root, TreeAccess::Resolution resolution)
      : tree_(std::move(root), resolution) {}

  Status Write(const std::string& folder, const char* name, std::string_view bytes) override {
    StatusOr<int> dir = Folder(folder);
    if (!dir.ok()) return dir.status();
    return Store(*dir, name, bytes);
  }

  std::vector<Status> WriteTogether(const std::vector<AttributeWrite>& writes) override {
    if (writes.size() < 2) return AttributeWriter::WriteTogether(writes);
    // The folders are opened here, before any thread starts; a write that finds no thread to
    // run in is made here, in turn.
    std::vector<ThreadedWrite> jobs(writes.size());
    std::vector<bool> started(writes.size(), false);
    for (std::size_t i = 0; i < writes.size(); ++i) {
      StatusOr<int> dir = Folder(writes[i].folder);
      if (!dir.ok()) {
        jobs[i].status = dir.status();
        continue;
      }
      jobs[i].dir = *dir;
      jobs[i].write = &writes[i];
      started[i] = pthread_create(&jobs[i].thread, nullptr, StoreInThread, &jobs[i]) == 0;
      if (!started[i]) jobs[i].status = Store(*dir, writes[i].name, writes[i].bytes);
    }
    std::vector<Status> statuses;
    for (std::size_t i = 0; i < writes.size(); ++i) {
      if (started[i]) pthread_join(jobs[i].thread, nullptr);
      statuses.push_back(std::move(jobs[i].status));
    }
    return statuses;
  }

  Status Hold(const std::string& folder) override {
    StatusOr<int> dir = Folder(folder);
    if (!dir.ok()) return dir.status();
    const StatusOr<bool> locked = LockBefore(*dir, std::chrono::steady_clock::now() + kHoldWait);
    if (!locked.ok()) return locked.status();
    if (!*locked) return Status::Error(kIoError, "another run has been changing it for too long");
    return Status::Ok();
  }

 private:
  // The folder, opened once for all its attributes. One that cannot be reached without a link,
  // or whose way leads out of the tree, is no place for a write; one that is not there is not
  // there.
  StatusOr<int> Folder(const std::string& folder) {
    auto it = folders_.find(folder);
    if (it == folders_.end()) {
      StatusOr<Fd> fd = tree_.Open(folder, TreeAccess::Use::kFolder, TreeAccess::Links::kNone);
      if (!fd.ok()) return fd.status().code() == kUnsupported ? NotAnAttribute() : fd.status();
      it = folders_.emplace(folder, std::move(*fd)).first;
    }
    return it->second.get();
  }

  TreeAccess tree_;
  std::map<std::string, Fd> folders_;
};

}  // namespace

std::vector<Status> AttributeWriter::WriteTogether(const std::vector<AttributeWrite>& writes) {
  std::vector<Status> statuses;
  for (const AttributeWrite& w : writes) statuses.push_back(Write(w.folder, w.name, w.bytes));
  return statuses;
}

Status NotAnAttribute() {
  return Status::Error(kUnsupported, "not a regular file inside the sysfs tree");
}

std::unique_ptr<AttributeWriter> MakeTreeWriter(std::string root,
                                                TreeAccess::Resolution resolution) {
  return std::make_unique<TreeWriter>(std::move(root), resolution);
}

}  // namespace halvane
