// The bash completion, exercised in a real bash the way readline calls it.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "cli/front_end.h"
#include "registry/vocabulary.h"
#include "support/run_binary.h"

namespace halvane {
namespace {

// What _halvane offers for a command line typed up to its end.
std::string Complete(const std::string& line) {
  // The completion runs `halvane` from PATH: a wrapper that starts it as every end-to-end run
  // does, so under valgrind its errors fail this test too (the completion then offers nothing).
  const testing::TempDir dir;
  std::string wrapper = "#!/bin/sh\nexec";
  for (const std::string& word : testing::HalvaneCommand()) wrapper += " '" + word + "'";
  std::filesystem::permissions(dir.Write("halvane", wrapper + " \"$@\"\n"),
                               std::filesystem::perms::owner_all);
  const std::string source = testing::SourceDir();
  const std::string script =
      "export PATH='" + dir.path() + "':$PATH HALVANE_REGISTRY='" + source +
      "/examples/san.json'\nsource '" + source + "/completions/halvane'\n" +
      // What an interactive bash starts with; a script has no word breaks of its own.
      "COMP_WORDBREAKS=$' \\t\\n\"\\'><=;|&(:'\nCOMP_LINE='" + line +
      "'\nCOMP_POINT=${#COMP_LINE}\n_halvane\nprintf '%s\\n' \"${COMPREPLY[@]}\"\n";
  // In the test's own folder: runs of the suite from other checkouts share /tmp.
  return testing::RunCommand("bash --norc --noprofile " + dir.Write("complete.sh", script)).out;
}

TEST(Completion, OptionsKeywordsAndPortNames) {
  // The keywords and the options are the program's own.
  std::string speeds;
  for (const SpeedKeyword& k : kSpeedKeywords) speeds += std::string(k.typed) + "\n";
  EXPECT_EQ(Complete("halvane -s "), speeds);
  for (const auto& row : testing::Rows("packaging/completions.txt"))
    EXPECT_EQ(Complete(row.at(0)), row.at(1)) << row[0];
  std::set<std::string> options;
  for (int i = 0; i < kLongOptionCount; ++i) {
    options.insert("--" + std::string(kLongOptionNames[i].name));
    if (kLongOptionNames[i].letter <= 0xFF) options.insert({'-', char(kLongOptionNames[i].letter)});
  }
  const std::vector<std::string> offered = testing::Words(Complete("halvane -"));
  EXPECT_EQ(std::set<std::string>(offered.begin(), offered.end()), options);
}

}  // namespace
}  // namespace halvane
