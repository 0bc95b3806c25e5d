#include "support/fake_sysfs.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "support/run_binary.h"

namespace halvane::testing {

namespace fs = std::filesystem;

void WriteFile(const std::string& path, const std::string& content) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << content;
}

void BuildTree(const std::string& name, const std::string& root) {
  std::istringstream lines(ReadFile(SourceDir() + "/tests/sysfs/trees/" + name + ".tree"));
  for (std::string line; std::getline(lines, line);) {
    if (line.empty() || line[0] == '#') continue;
    const std::size_t file = line.find(" = "), link = line.find(" -> "), many = line.find(" * "),
                      hard = line.find(" => ");
    const std::string path = root + "/" + Unescape(line.substr(0, line.find(' ')));
    fs::create_directories(fs::path(path).parent_path());
    fs::remove(path);  // an entry a later tree replaces
    if (file != std::string::npos) {
      WriteFile(path, Unescape(line.substr(file + 3)));
    } else if (many != std::string::npos) {
      const std::vector<std::string> count_and_text = Words(line.substr(many + 3));
      std::string content;
      for (std::size_t i = std::stoul(count_and_text.at(0)); i > 0; --i)
        content += Unescape(count_and_text.at(1));
      WriteFile(path, content);
    } else if (link != std::string::npos) {
      fs::create_symlink(line.substr(link + 4), path);
    } else if (hard != std::string::npos) {
      fs::create_hard_link(root + "/" + line.substr(hard + 4), path);
    } else if (line.back() == '%') {
      if (mknod(path.c_str(), S_IFCHR | 0644, makedev(1, 3)) != 0) mkfifo(path.c_str(), 0644);
    } else if (line.back() == '|') {
      mkfifo(path.c_str(), 0644);
    } else {
      fs::create_directories(path);
    }
  }
}

RunOptions OnHost(const std::string& host, const std::string& root) {
  if (host.rfind('@', 0) == 0) return WithRegistry(SourceDir() + "/" + host.substr(1));
  for (const std::string& tree : Words(host)) BuildTree(tree, root);
  RunOptions live;
  live.env["HALVANE_SYSFS_ROOT"] = root;
  return live;
}

}  // namespace halvane::testing
