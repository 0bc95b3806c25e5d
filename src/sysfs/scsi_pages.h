// Decoders for the binary SCSI data that the kernel publishes in sysfs: the Device
// Identification VPD page, the standard INQUIRY data and the 8-byte LUN form. Drivers and devices
// write these bytes, so every length is checked against what is really there.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace halvane {

struct Designator {
  std::uint8_t code_set = 0;     // 1 binary, 2 ASCII, 3 UTF-8
  std::uint8_t association = 0;  // 0 logical unit, 1 target port, 2 target device
  std::uint8_t type = 0;         // 0 vendor specific, 2 EUI-64, 3 NAA, 8 SCSI name, ...
  std::vector<std::uint8_t> bytes;
};

inline constexpr std::uint8_t kDesignatorEui64 = 2;
inline constexpr std::uint8_t kDesignatorNaa = 3;

// The designation descriptors of a Device Identification page (code 0x83), in page order. The
// page's own length bounds the walk as well as the bytes given; a descriptor that runs past the
// end ends the walk, keeping the ones before it. A page of another code gives none.
std::vector<Designator> ParseDeviceIdentificationPage(const std::uint8_t* page, std::size_t size);

// The 8-byte SAM form of a LUN as the kernel numbers it: each 16-bit addressing level in order,
// its two bytes swapped into place (16385 gives 40 01 00 00 00 00 00 00).
std::array<std::uint8_t, 8> ScsiLunBytes(std::uint64_t lun);

// The ALUA support that the TPGS bits (byte 5, bits 5:4) of standard INQUIRY data announce, or
// nothing when the data is too short to hold them.
std::optional<std::string> AluaSupportText(const std::uint8_t* inquiry, std::size_t size);

}  // namespace halvane
