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
    // Every 64-bit LUN has one 8-byte form, from which the kernel's number is read back.
    std::uint64_t lun = 0;
    std::memcpy(&lun, data, 8);
    const std::array<std::uint8_t, 8> bytes = ScsiLunBytes(lun);
    std::uint64_t back = 0;
    for (std::size_t i = 0; i < 8; i += 2)
      back |= (std::uint64_t{bytes[i]} << ((i + 1) * 8)) | (std::uint64_t{bytes[i + 1]} << (i * 8));
    if (back != lun) std::abort();
  }
  return 0;
}
