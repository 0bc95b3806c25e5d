// The binary attributes of the live backend: Device Identification pages, INQUIRY data and the
// 8-byte LUN form, each read from a buffer of exactly the given size.
#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "sysfs/scsi_pages.h"

using namespace halvane;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<std::uint8_t> exact(data, data + size);
  std::size_t covered = 4;
  for (const Designator& d : ParseDeviceIdentificationPage(exact.data(), exact.size())) {
    covered += 4 + d.bytes.size();
    if (d.code_set > 15 || d.association > 3 || d.type > 15) std::abort();
  }
  if (covered > 4 && covered > size) std::abort();
  AluaSupportText(exact.data(), exact.size());
  if (size >= 8) {
    std::array<std::uint8_t, 8> lun;
    std::memcpy(lun.data(), data, 8);
    if (ScsiLunBytes(ScsiLunNumber(lun)) != lun) std::abort();
  }
  return 0;
}
