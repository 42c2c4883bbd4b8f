// BIOS images of the legacy BIOS area 0xF0000-0xFFFFF for the simulated board.
#pragma once

#include "host/Platform.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace simboard {

enum class BiosKind {
    Ami,        // "AMIBIOS" and the board marker in its window
    Award,      // "Phoenix - AwardBIOS" and the board marker in its window
    AmiFamily,  // "AMIBIOS" without the marker, a board-family name in the BIOS area
    None,       // neither vendor signature
};

// The image covers the platform's BIOS area.
constexpr std::size_t kBiosImageSize = host::kBiosSize;
constexpr std::uint32_t kBiosImageBase = static_cast<std::uint32_t>(host::kBiosBase);

std::optional<BiosKind> ParseBiosKind(std::string_view name);  // ami|award|ami-family|none
std::vector<std::uint8_t> BuiltInBiosImage(BiosKind kind);

// An image file of exactly 65,536 bytes; anything else throws std::runtime_error with a
// message that names the file and what is wrong with it.
std::vector<std::uint8_t> LoadBiosImageFile(const std::string& path);

// Writes `bytes` at physical address `physical` of an image (a test fixture helper).
void PutBytes(std::vector<std::uint8_t>& image, std::uint32_t physical, std::string_view bytes);

}  // namespace simboard
