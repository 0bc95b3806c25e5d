#include "sysfs/scsi_pages.h"

namespace halvane {

std::vector<Designator> ParseDeviceIdentificationPage(const std::uint8_t* page, std::size_t size) {
  std::vector<Designator> out;
  if (page == nullptr || size < 4 || page[1] != 0x83) return out;
  const std::size_t declared = 4 + ((static_cast<std::size_t>(page[2]) << 8) | page[3]);
  const std::size_t end = declared < size ? declared : size;
  std::size_t pos = 4;
  while (pos + 4 <= end) {
    const std::uint8_t* d = page + pos;
    const std::size_t length = d[3];
    if (pos + 4 + length > end) break;
    Designator item;
    item.code_set = d[0] & 0x0F;
    item.association = (d[1] >> 4) & 0x03;
    item.type = d[1] & 0x0F;
    item.bytes.assign(d + 4, d + 4 + length);
    out.push_back(std::move(item));
    pos += 4 + length;
  }
  return out;
}

std::array<std::uint8_t, 8> ScsiLunBytes(std::uint64_t lun) {
  std::array<std::uint8_t, 8> bytes{};
  for (std::size_t i = 0; i < bytes.size(); i += 2) {
    bytes[i] = static_cast<std::uint8_t>((lun >> 8) & 0xFF);
    bytes[i + 1] = static_cast<std::uint8_t>(lun & 0xFF);
    lun >>= 16;
  }
  return bytes;
}

std::optional<std::string> AluaSupportText(const std::uint8_t* inquiry, std::size_t size) {
  if (inquiry == nullptr || size < 6) return std::nullopt;
  static const char* const kTexts[] = {"Not Supported", "Implicit", "Explicit",
                                       "Implicit and Explicit"};
  return kTexts[(inquiry[5] >> 4) & 0x03];
}

}  // namespace halvane
