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

std::string Doc(const std::string& name) {
  return testing::ReadFile(testing::SourceDir() + "/" + name);
}

TEST(ManPage, ListsTheProgramsOptionsAndExitStatusesAndFormatsCleanly) {
  const std::string page = Doc("doc/halvane.8");
  // An option's entry: ".BR \-l ", " \-\-list", or ".B \-\-json" for one without a letter,
  // ".BR \-\-accept =\fIWWID\fR" for one with a value.
  const std::regex entry(R"(\n(?:\.BR \\-(.) ", " \\-\\-([a-z]+)|)"
                         R"(\.TP\n\.BR? \\-\\-([a-z\\-]+)(?: =\\fI[A-Z]+\\fR)?(?=\n)))");
  std::set<std::pair<char, std::string>> documented, program;
  std::set<char> letters;
  for (std::sregex_iterator m(page.begin(), page.end(), entry), end; m != end; ++m) {
    if ((*m)[1].matched)
      documented.insert({(*m)[1].str()[0], (*m)[2]});
    else
      documented.insert({'\0', std::regex_replace((*m)[3].str(), std::regex(R"(\\-)"), "-")});
  }
  for (int i = 0; i < kLongOptionCount; ++i) {
    const int letter = kLongOptionNames[i].letter;
    program.insert({letter > 0xFF ? '\0' : static_cast<char>(letter), kLongOptionNames[i].name});
    if (letter <= 0xFF) letters.insert(static_cast<char>(letter));
  }
  EXPECT_EQ(documented, program);
  // Every letter of the parser ("?" is its own) is an option's.
  for (const char* c = kShortOptions; *c; ++c)
    EXPECT_TRUE(*c == ':' || *c == '?' || letters.count(*c)) << *c;

  const std::size_t start = page.find(".SH EXIT STATUS");
  ASSERT_NE(start, std::string::npos);
  const std::string section = page.substr(start, page.find(".SH", start + 1) - start);
  std::set<int> statuses;
  const std::regex status_line(R"(\n\.TP\n\.B (\d+)\n)");
  for (std::sregex_iterator m(section.begin(), section.end(), status_line), end; m != end; ++m)
    statuses.insert(std::stoi((*m)[1]));
  EXPECT_EQ(statuses, (std::set<int>{0, 1, 2, 3, 74, 77}));

  const auto groff = testing::RunCommand("groff -man -ww -z -Tutf8 " + testing::SourceDir() +
                                         "/doc/halvane.8 2>&1");
  EXPECT_EQ(std::make_pair(groff.status, groff.out), std::make_pair(0, std::string()));
}

// Every finding the program can report is documented where administrators and scripts look it
// up: the man page, the guide, and the document's schema.
TEST(Check, EveryCodeIsDocumented) {
  const std::string page = Doc("doc/halvane.8"), guide = Doc("doc/check.md");
  const std::string schema = Doc("doc/halvane-check.schema.json");
  for (const FindingRule& rule : kFindingRules) {
    const std::string code = rule.code;
    EXPECT_NE(page.find(".TP\n.B " + code + "\n"), std::string::npos) << code;
    EXPECT_NE(guide.find("`" + code + "`"), std::string::npos) << code;
    EXPECT_NE(schema.find("\"" + code + "\""), std::string::npos) << code;
  }
}

// The version has one source, CMakeLists.txt's project line; the documents name it by hand, the
// RPM's in its build file (the file of packaging/ with a %changelog section) as its version and
// that of its newest changelog entry.
TEST(Version, TheDocumentsNameTheProjectVersion) {
  std::string rpm, v = std::regex_replace(HALVANE_VERSION, std::regex(R"(\.)"), R"(\.)");
  for (const auto& file : std::filesystem::directory_iterator(testing::SourceDir() + "/packaging"))
    if (testing::ReadFile(file.path()).find("\n%changelog\n") != std::string::npos)
      rpm = file.path().string().substr(testing::SourceDir().size() + 1);
  for (const auto& [name, pattern] : std::initializer_list<std::pair<std::string, std::string>>{
           {"doc/halvane.8", "\"halvane v" + v + "\""},
           {"doc/halvane.8", "\n\\.B \"halvane version v" + v + "\""},
           {"README.md", "`halvane_" + v + "_<arch>\\.deb`"},
           {"README.md", "`halvane version v" + v + "`"},
           {"debian/changelog", "^halvane \\(" + v + "\\) "},
           {rpm, "\nVersion:[ \t]+" + v + "\n"},
           {rpm, "\n%changelog\n\\*[^\n]* - " + v + "-[0-9]+\n"}})
    EXPECT_TRUE(std::regex_search(Doc(name), std::regex(pattern))) << name << ": " << pattern;
}

}  // namespace
}  // namespace halvane
