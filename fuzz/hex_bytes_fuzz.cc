// Hexadecimal byte texts and WWN texts: never a read past the text, and the properties the
// settings path relies on.
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "base/text.h"
#include "cli/validation.h"
#include "fuzz_text.h"
#include "inventory/port_info.h"

using namespace halvane;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // A buffer of exactly the examined length, so that any read past it is caught.
  const std::vector<char> exact(data, data + size);
  const std::string_view text(exact.data(), exact.size());
  for (const HexForm& form : {kDataForm, kIdForm}) {
    const StatusOr<Data> bytes = ParseHexBytes(text, form);
    // Two digits a byte, at most one separator between two: never more bytes than half the text.
    if (bytes.ok() && bytes->size() * 2 > text.size()) std::abort();
    if (!bytes.ok() && bytes.status().message().empty()) std::abort();
  }
  (void)ParseWwnText(text);
  if (IsValidWwnText(text)) {
    const StatusOr<WwnBytes> bytes = ParseWwnText(text);
    if (!bytes.ok()) std::abort();
    // The text of those bytes is itself a WWN, and finds its port in any letter case.
    const std::string wwn = WwnText(*bytes);
    if (!IsValidWwnText(wwn)) std::abort();
    const auto loaded = LoadFuzzText(
        std::string(R"({"root": {"class": "Root", "children": [{"class": ")") +
        kUserControllerClass + R"(", "properties": {")" + kControllerCharacteristicsKey +
        R"(": {")" + kPortWorldWideNameKey + R"(": {"$data": ")" + wwn + R"("}}}}]}})");
    if (!loaded.ok()) std::abort();
    DeviceRegistry& registry = **loaded;
    std::string lower = wwn;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (!FindPortByWWN(registry, lower).ok()) std::abort();
    if (!FindPortByWWN(registry, wwn).ok()) std::abort();
  }
  return 0;
}
