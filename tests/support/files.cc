// The file helpers of every test program; the binary's runner is in run_binary.cc.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

#include "support/run_binary.h"

namespace halvane::testing {

std::string SourceDir() { return HALVANE_SOURCE_DIR; }

RunOptions WithRegistry(const std::string& path) {
  RunOptions options;
  options.env["HALVANE_REGISTRY"] = path;
  return options;
}

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "halvane-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
  // Readable by the unprivileged user that some runs switch to.
  std::filesystem::permissions(path_, std::filesystem::perms::all);
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::Write(const std::string& name, const std::string& content) const {
  const std::string file = path_ + "/" + name;
  std::ofstream(file, std::ios::binary) << content;
  return file;
}

std::string Unescape(const std::string& text) {
  std::string bytes;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      bytes += text[i];
    } else if (text[++i] == 'x') {
      bytes += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      const std::string from = "nts", to = "\n\t ";
      const std::size_t at = from.find(text[i]);
      bytes += at == std::string::npos ? text[i] : to[at];
    }
  }
  return bytes;
}

std::string ReadFile(const std::string& path) {
  std::ostringstream content;
  content << std::ifstream(path, std::ios::binary).rdbuf();
  return content.str();
}

CommandResult RunCommand(const std::string& command) {
  CommandResult result;
  std::FILE* shell = popen(command.c_str(), "r");
  if (shell == nullptr) return result;
  char buffer[512];
  while (std::fgets(buffer, sizeof buffer, shell)) result.out += buffer;
  const int status = pclose(shell);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

void ExpectCheckersPass(const std::vector<std::string>& commands) {
  const char* ci = std::getenv("CI");
  for (const std::string& command : commands) {
    const CommandResult checked = RunCommand(command + " 2>&1");
    if ((checked.status == 77 || checked.status == 127) && !(ci && std::string(ci) == "true"))
      GTEST_SKIP() << checked.out;
    EXPECT_EQ(checked.status, 0) << command << "\n" << checked.out;
    EXPECT_EQ(checked.out, "") << command;
  }
}

std::vector<std::string> SchemaAndPromtool(const std::string& schema, const std::string& documents,
                                           const std::string& expositions) {
  std::vector<std::string> commands = {"python3 " + SourceDir() +
                                       "/tests/support/validate_inventory.py " + SourceDir() +
                                       "/doc/" + schema + documents};
  for (const std::string& file : Words(expositions))
    commands.push_back("promtool check metrics < " + file);
  return commands;
}

void ExpectGolden(const std::string& name, const std::string& text) {
  const std::string path = SourceDir() + "/tests/golden/" + name;
  if (std::getenv("HALVANE_UPDATE_GOLDEN")) std::ofstream(path) << text;
  EXPECT_EQ(text, ReadFile(path)) << name;
}

std::vector<std::string> Words(const std::string& text) {
  std::istringstream split(text);
  return {std::istream_iterator<std::string>(split), {}};
}

std::vector<std::vector<std::string>> Rows(const std::string& name) {
  std::vector<std::vector<std::string>> rows;
  std::istringstream lines(ReadFile(SourceDir() + "/tests/" + name));
  for (std::string line; std::getline(lines, line);) {
    if (line.empty() || line[0] == '#') continue;
    if (line.size() >= 2 && line.substr(line.size() - 2) == " |")
      line += ' ';  // an empty last field
    rows.emplace_back();
    for (std::size_t at = 0, end; at != std::string::npos;
         at = end == std::string::npos ? end : end + 3) {
      end = line.find(" | ", at);
      rows.back().push_back(Unescape(line.substr(at, end - at)));
    }
  }
  return rows;
}

}  // namespace halvane::testing
