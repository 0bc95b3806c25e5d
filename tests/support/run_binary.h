// Runs the built halvane binary as an administrator would, with a controlled environment, and
// captures everything it writes.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace halvane::testing {

struct RunResult {
  std::string out;
  std::string err;
  int status = -1;  // exit status, or 128 + signal
};

struct RunOptions {
  // Added to a minimal environment (PATH only); nothing else of the test's environment leaks in.
  std::map<std::string, std::string> env;
  // Runs the binary through `setpriv` as this user id when set (the caller must be root).
  int as_uid = -1;
  // Shell commands run before the binary replaces the shell, e.g. "ulimit -f 1".
  std::string shell_prefix;
};

// The options of a run that reads the registry snapshot at path.
RunOptions WithRegistry(const std::string& path);
// What a run with options captures (--snapshot), written to path, which is returned.
std::string Capture(const RunOptions& options, const std::string& path);

// A snapshot entry of one Fibre Channel port, 00:11:22:33:44:55:66:77, with nothing else.
inline constexpr char kOnePortEntry[] =
    R"({"class": "KestritUserSCSIParallelInterfaceController", "properties": {
  "Controller Characteristics": {"Port World Wide Name": {"$data": "00:11:22:33:44:55:66:77"}}}})";

RunResult RunHalvane(const std::vector<std::string>& args, const RunOptions& options = {});

// The words that start the built binary as RunHalvane does: under valgrind when HALVANE_VALGRIND
// is set. RunHalvane and HalvaneCommand link only into the end-to-end test programs
// (tests/CMakeLists.txt), so a test that starts the binary cannot end up among the unit tests.
std::vector<std::string> HalvaneCommand();

// The absolute path of the source tree.
std::string SourceDir();

// A fresh temporary folder, removed with everything in it when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string Write(const std::string& name, const std::string& content) const;

 private:
  std::string path_;
};

std::string ReadFile(const std::string& path);

// What a shell command writes to standard output, and its exit status (-1 when it was not run or
// did not exit).
struct CommandResult {
  std::string out;
  int status = -1;
};
CommandResult RunCommand(const std::string& command);
// Runs each checking command, its standard error joined to its output: each must print nothing and
// end 0. A checker that could not run (status 127, not installed; 77, its own skip) proves nothing
// and skips the test, except under CI=true, where a missing tool is the machine's fault.
void ExpectCheckersPass(const std::vector<std::string>& commands);
// The commands that check the documents (paths, each after a space) against the shipped schema
// doc/SCHEMA, and each metrics file of expositions with promtool.
std::vector<std::string> SchemaAndPromtool(const std::string& schema, const std::string& documents,
                                           const std::string& expositions = "");

// The rows of a table kept as data in tests/NAME: one row a line, fields apart by " | ", each
// taking C escapes; blank lines and lines starting with "#" are skipped.
std::vector<std::vector<std::string>> Rows(const std::string& name);

// Text against the golden file tests/golden/NAME; HALVANE_UPDATE_GOLDEN=1 rewrites the file
// instead, after an intended change.
void ExpectGolden(const std::string& name, const std::string& text);

// The words of a text, apart by white space.
std::vector<std::string> Words(const std::string& text);

// Text with C escapes (\n, \t, \s for a space, \\, \xHH) as the bytes it stands for.
std::string Unescape(const std::string& text);

}  // namespace halvane::testing
