// Hexadecimal byte texts and WWN texts: never a read past the text, and the properties the
// settings path relies on.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cli/validation.h"
#include "inventory/port_info.h"
#include "registry/memory_registry.h"

using namespace halvane;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  // A buffer of exactly the examined length, so that any read past it is caught.
  const std::int32_t count = data[0] % 33;  // 0 and 32 are outside the accepted range
  std::vector<char> exact(data + 1, data + size);
  std::uint8_t out[32];
  std::memset(out, 0xA5, sizeof out);
  const bool ok =
      ParseHexBytes(exact.data(), static_cast<std::int64_t>(exact.size()), count, out).ok();
  if (ok && (count < 1 || count > 31)) std::abort();
  if (!ok && out[0] != 0xA5) std::abort();  // a failure leaves the output alone

  const std::string text(exact.begin(), exact.end());
  const std::string terminated = text.substr(0, text.find('\0'));
  if (IsValidWWNText(terminated.c_str())) {
    std::uint8_t bytes[8];
    if (!ParseHexBytes(terminated.c_str(), -1, 8, bytes).ok()) std::abort();
    // The text of those bytes is itself a WWN, and finds its port in any letter case.
    const std::string wwn = WWNText(bytes);
    if (!IsValidWWNText(wwn.c_str())) std::abort();
    MemoryRegistry registry;
    registry.AddChild(
        registry.SetRoot("Root"), kUserControllerClass,
        {{kControllerCharacteristicsKey,
          PropertyValue::OfDictionary(
              {{kPortWorldWideNameKey, PropertyValue::OfData(Data(bytes, bytes + 8))}})}});
    std::string lower = wwn;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    RegistryEntry found;
    if (!FindPortByWWN(registry, lower, &found).ok()) std::abort();
    if (!FindPortByWWN(registry, wwn, &found).ok()) std::abort();
  }
  return 0;
}
