#include "cli/run_table.h"

#include <algorithm>
#include <filesystem>
#include <regex>
#include <sstream>

#include "support/run_binary.h"

namespace halvane::testing {

namespace {

// The blocks of one table, their names prefixed as the table's.
void ReadTable(const std::filesystem::path& path, std::vector<RunBlock>* blocks) {
  std::istringstream table(ReadFile(path.string()));
  static const std::regex other("[^A-Za-z0-9]+");
  RunBlock block;
  int number = 0;
  for (std::string line; std::getline(table, line) || !block.lines.empty();) {
    ++number;
    if (!line.empty() && line[0] != '#') {
      if (block.lines.empty()) {
        // "run -c 0:1 -s auto" at line 12 is run_c_0_1_s_auto_12; long lines are cut short.
        block.name =
            std::regex_replace(path.stem().string() + "_" + line.substr(0, 48), other, "_");
        if (block.name.back() != '_') block.name.push_back('_');
        block.name += std::to_string(number);
        block.options_only = true;
      }
      const std::string key = line.substr(0, line.find(' '));
      block.options_only = block.options_only && (key == "run" || key == "out" || key == "status");
      block.lines.push_back(line);
    } else if (line.empty() && !block.lines.empty()) {
      blocks->push_back(std::move(block));
      block = RunBlock{};
    }
    line.clear();
  }
}

}  // namespace

std::vector<RunBlock> RunTable(bool options_only) {
  std::vector<std::filesystem::path> tables;
  for (const auto& file : std::filesystem::directory_iterator(SourceDir() + "/tests/cli/runs"))
    tables.push_back(file.path());
  std::sort(tables.begin(), tables.end());
  std::vector<RunBlock> blocks;
  for (const auto& table : tables) ReadTable(table, &blocks);
  std::erase_if(blocks, [&](const RunBlock& block) { return block.options_only != options_only; });
  return blocks;
}

void PrintTo(const RunBlock& block, std::ostream* out) { *out << block.name; }

std::string ExpandRunText(const std::string& text, const std::string& dir) {
  // A kept file may name the run's folder too.
  std::string out =
      text.rfind('@', 0) == 0 ? ReadFile(SourceDir() + "/tests/" + text.substr(1)) : Unescape(text);
  for (const auto& [name, value] : {std::pair<std::string, std::string>{"{dir}", dir},
                                    {"{usage}", ReadFile(SourceDir() + "/tests/golden/usage.txt")},
                                    {"{version}", "v" HALVANE_VERSION}}) {
    for (std::size_t at; (at = out.find(name)) != std::string::npos;)
      out.replace(at, name.size(), value);
  }
  return out;
}

std::vector<std::string> RunArguments(const std::string& words, const std::string& dir) {
  std::vector<std::string> args;
  for (const std::string& word : Words(words)) args.push_back(ExpandRunText(word, dir));
  return args;
}

}  // namespace halvane::testing
