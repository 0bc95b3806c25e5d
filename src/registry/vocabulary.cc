#include "registry/vocabulary.h"

#include <algorithm>

#include "base/text.h"

namespace halvane {

std::optional<std::string_view> MultipathMapWwid(std::string_view uuid) {
  constexpr std::string_view kPrefix = "mpath-";
  if (uuid.substr(0, kPrefix.size()) != kPrefix) return std::nullopt;
  return uuid.substr(kPrefix.size());
}

std::optional<unsigned> SpeedGbit(std::string_view text) {
  const std::size_t space = text.find(' ');
  const std::string_view unit = space == std::string_view::npos ? "" : text.substr(space + 1);
  if (space == 0 || space > 4 || (unit != "Gbit" && unit != "Gigabit")) return std::nullopt;
  const std::optional<std::uint64_t> rate = ParseDecimal(text.substr(0, space));
  // No link runs at 0 Gbit/s.
  if (!rate || *rate == 0) return std::nullopt;
  return static_cast<unsigned>(*rate);
}

std::vector<unsigned> SpeedsGbit(std::string_view list) {
  std::vector<unsigned> rates;
  while (!list.empty()) {
    const std::size_t comma = list.find(", ");
    if (auto rate = SpeedGbit(list.substr(0, comma))) rates.push_back(*rate);
    list.remove_prefix(comma == std::string_view::npos ? list.size() : comma + 2);
  }
  std::sort(rates.begin(), rates.end());
  rates.erase(std::unique(rates.begin(), rates.end()), rates.end());
  return rates;
}

}  // namespace halvane
