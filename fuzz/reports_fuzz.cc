// The reports over any registry the loader accepts: they never crash, no line is longer than the
// widest label plus the longest text a line may show, and the inventory document is always JSON.
#include <cstdint>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string_view>

#include "fuzz_text.h"
#include "inventory/controller_report.h"
#include "inventory/port_info.h"
#include "listing/full_report.h"
#include "listing/inventory_document.h"

using namespace halvane;

namespace {

// "                       Vendor:    " and 254 bytes of text.
constexpr std::size_t kLongestLine = 34 + 254;

void CheckLines(const std::string& text) {
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    if (end - start > kLongestLine) std::abort();
    start = end + 1;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto loaded = LoadFuzzText(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!loaded.ok()) return 0;
  DeviceRegistry& registry = **loaded;
  std::ostringstream listing;
  PrintFullReport(registry, listing);
  CheckLines(listing.str());
  std::ostringstream document;
  PrintInventoryDocument(registry, document);
  if (nlohmann::json::parse(document.str(), nullptr, false).is_discarded()) std::abort();
  if (auto ports = DiscoverControllers(registry); ports.ok()) {
    for (RegistryEntry port = ports->Next(); port; port = ports->Next()) {
      std::ostringstream block;
      (void)PrintPortBlock(registry, port, block);
      CheckLines(block.str());
      // A port with a name is found by it.
      const StatusOr<Dictionary> record = BuildPortInfo(registry, port);
      const PropertyValue* name = record.ok() ? FindMember(*record, kRecordPortName) : nullptr;
      if (name && !FindPortByWWN(registry, *name->AsString()).ok()) std::abort();
    }
  }
  return 0;
}
