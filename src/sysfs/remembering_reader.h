// A reader that hands every read to another one and, once told to, remembers what the devices'
// "state" attributes said: a run that walks the host twice (a verdict and a listing, each with its
// multipath maps, which name the same SCSI devices as paths) reads each device's state once, and
// every report of that run tells the same state.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "sysfs/sysfs_reader.h"

namespace halvane {

class RememberingReader : public SysfsReader {
 public:
  // inner must outlive this reader.
  explicit RememberingReader(SysfsReader& inner) : inner_(inner) {}

  // From now on, the first read of a folder's "state" is the answer for the rest of the run.
  void RememberStates() { remember_ = true; }

  Listing List(const std::string& folder) override { return inner_.List(folder); }
  Listing ListFolders(const std::string& folder) override { return inner_.ListFolders(folder); }
  Reading Read(const std::string& folder, const char* name, std::size_t limit) override;
  Reading FirstNameIn(const std::string& folder, const char* name) override {
    return inner_.FirstNameIn(folder, name);
  }
  Reading Resolve(const std::string& path) override { return inner_.Resolve(path); }
  bool IsFolder(const std::string& path) override { return inner_.IsFolder(path); }
  bool Exists(const std::string& path) override { return inner_.Exists(path); }

 private:
  SysfsReader& inner_;
  bool remember_ = false;
  // By folder: every path the tables read from is a real path, so one device has one folder.
  std::unordered_map<std::string, Reading> states_;
};

}  // namespace halvane
