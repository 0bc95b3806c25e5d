// The reports over any registry the loader accepts: they never crash, no line is longer than the
// widest label plus the longest text a line may show, and the inventory document is always JSON.
#include <cstdint>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string_view>

#include "inventory/controller_report.h"
#include "inventory/port_info.h"
#include "listing/full_report.h"
#include "listing/inventory_document.h"
#include "registry/snapshot.h"

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
  MemoryRegistry registry;
  if (!ParseSnapshot(std::string_view(reinterpret_cast<const char*>(data), size), &registry).ok())
    return 0;
  std::ostringstream listing;
  PrintFullReport(registry, listing);
  CheckLines(listing.str());
  std::ostringstream document;
  PrintInventoryDocument(registry, document);
  if (nlohmann::json::parse(document.str(), nullptr, false).is_discarded()) std::abort();
  RegistryIterator ports;
  if (DiscoverControllers(registry, &ports).ok()) {
    for (RegistryEntry port = registry.NextEntry(ports); port; port = registry.NextEntry(ports)) {
      std::ostringstream block;
      (void)PrintPortBlock(registry, port, block);
      CheckLines(block.str());
      Dictionary record;
      if (BuildPortInfo(registry, port, &record).ok()) {
        const std::string* name = record.at(kRecordPortName).AsString();
        RegistryEntry found;
        if (*name != "invalid" && !FindPortByWWN(registry, *name, &found).ok()) std::abort();
      }
    }
  }
  return 0;
}
