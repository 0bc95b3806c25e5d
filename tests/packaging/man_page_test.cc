// The man page is what administrators read before they change a port: it must format cleanly
// and list exactly the options and exit statuses the program has.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <set>

#include "check/findings.h"
#include "cli/front_end.h"
#include "support/run_binary.h"

namespace halvane {
namespace {

const std::string kManPage = testing::SourceDir() + "/doc/halvane.8";

TEST(ManPage, OptionsMatchTheProgramsOptionTable) {
  const std::string page = testing::ReadFile(kManPage);
  // An option's entry: ".BR \-l ", " \-\-list", or ".B \-\-json" for one without a letter,
  // ".BR \-\-accept =\fIWWID\fR" for one with a value.
  std::set<std::pair<char, std::string>> documented;
  const std::regex option_line(R"(^\.BR \\-(.) ", " \\-\\-([a-z]+))");
  const std::regex long_only_line(R"(^\.BR? \\-\\-([a-z\\-]+)(?: =\\fI[A-Z]+\\fR)?$)");
  std::istringstream lines(page);
  std::string previous;
  for (std::string line; std::getline(lines, line); previous = line) {
    std::smatch m;
    if (std::regex_search(line, m, option_line)) documented.insert({m[1].str()[0], m[2].str()});
    if (previous == ".TP" && std::regex_search(line, m, long_only_line)) {
      documented.insert({'\0', std::regex_replace(m[1].str(), std::regex(R"(\\-)"), "-")});
    }
  }
  std::set<std::pair<char, std::string>> program;
  for (int i = 0; i < kLongOptionCount; ++i) {
    const int letter = kLongOptionNames[i].letter;
    program.insert({letter > 0xFF ? '\0' : static_cast<char>(letter), kLongOptionNames[i].name});
  }
  EXPECT_EQ(documented, program);
  // Every short option letter of the parser has its entry ("?" is the parser's own).
  for (const char* c = kShortOptions; *c; ++c) {
    if (*c == ':' || *c == '?') continue;
    EXPECT_TRUE(std::any_of(documented.begin(), documented.end(), [&](auto& d) {
      return d.first == *c;
    })) << *c;
  }
}

TEST(ManPage, ExitStatusesAreTheProgramsAndItFormatsCleanly) {
  const std::string page = testing::ReadFile(kManPage);
  const std::size_t start = page.find(".SH EXIT STATUS");
  const std::size_t end = page.find(".SH", start + 1);
  ASSERT_NE(start, std::string::npos);
  std::set<int> statuses;
  const std::regex status_line(R"(\n\.TP\n\.B (\d+)\n)");
  const std::string section = page.substr(start, end - start);
  for (std::sregex_iterator it(section.begin(), section.end(), status_line), stop; it != stop;
       ++it) {
    statuses.insert(std::stoi((*it)[1]));
  }
  EXPECT_EQ(statuses, (std::set<int>{0, 1, 2, 3, 74, 77}));

  const auto groff = testing::RunCommand("groff -man -ww -z -Tutf8 " + kManPage + " 2>&1");
  EXPECT_EQ(groff.status, 0);
  EXPECT_EQ(groff.out, "");
}

// Every finding the program can report is documented where administrators and scripts look it
// up: the man page, the guide, and the document's schema.
TEST(Check, EveryCodeIsDocumented) {
  const std::string page = testing::ReadFile(kManPage);
  const std::string guide = testing::ReadFile(testing::SourceDir() + "/doc/check.md");
  const std::string schema =
      testing::ReadFile(testing::SourceDir() + "/doc/halvane-check.schema.json");
  for (const FindingRule& rule : kFindingRules) {
    const std::string code = rule.code;
    EXPECT_NE(page.find(".TP\n.B " + code + "\n"), std::string::npos) << code;
    EXPECT_NE(guide.find("`" + code + "`"), std::string::npos) << code;
    EXPECT_NE(schema.find("\"" + code + "\""), std::string::npos) << code;
  }
}

// The version has one source, CMakeLists.txt's project line; the documents name it by hand.
TEST(Version, TheDocumentsNameTheProjectVersion) {
  const std::string v = HALVANE_VERSION;
  const std::string page = testing::ReadFile(kManPage);
  EXPECT_NE(page.find("\"halvane v" + v + "\""), std::string::npos);
  EXPECT_NE(page.find(".B \"halvane version v" + v + "\""), std::string::npos);
  const std::string readme = testing::ReadFile(testing::SourceDir() + "/README.md");
  EXPECT_NE(readme.find("`halvane_" + v + "_<arch>.deb`"), std::string::npos);
  EXPECT_NE(readme.find("`halvane version v" + v + "`"), std::string::npos);
  const std::string changelog = testing::ReadFile(testing::SourceDir() + "/debian/changelog");
  EXPECT_EQ(changelog.rfind("halvane (" + v + ") ", 0), 0u);
  // The RPM's version and the newest entry of its changelog, in its build file: the file of
  // packaging/ with a %changelog section.
  std::string rpm;
  for (const auto& file :
       std::filesystem::directory_iterator(testing::SourceDir() + "/packaging")) {
    const std::string text = testing::ReadFile(file.path());
    if (text.find("\n%changelog\n") != std::string::npos) rpm = text;
  }
  std::smatch m;
  ASSERT_TRUE(std::regex_search(rpm, m, std::regex(R"(\nVersion:[ \t]+(\S+)\n)")));
  EXPECT_EQ(m[1].str(), v);
  ASSERT_TRUE(std::regex_search(rpm, m, std::regex(R"(\n%changelog\n\*[^\n]* - (\S+)-[0-9]+\n)")));
  EXPECT_EQ(m[1].str(), v);
}

}  // namespace
}  // namespace halvane
