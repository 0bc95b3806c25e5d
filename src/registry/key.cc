#include "registry/key.h"

#include <mutex>
#include <unordered_set>

namespace halvane {
namespace {

struct TextHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view text) const {
    return std::hash<std::string_view>{}(text);
  }
};

}  // namespace

Key::Key(std::string_view text) {
  // Held for the life of the process and never released: keys are shared by every table that
  // uses them, and a process holds a bounded vocabulary plus whatever keys its input names.
  static std::mutex mutex;
  static auto* const texts = new std::unordered_set<std::string, TextHash, std::equal_to<>>();
  const std::lock_guard<std::mutex> lock(mutex);
  auto it = texts->find(text);
  if (it == texts->end()) it = texts->emplace(text).first;
  text_ = &*it;
}

}  // namespace halvane
