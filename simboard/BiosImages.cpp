#include "BiosImages.h"

#include <fstream>
#include <iterator>
#include <stdexcept>

namespace simboard {
namespace {

constexpr std::uint32_t kAwardSignature = 0xFE061;
constexpr std::uint32_t kAwardMarkerWindow = 0xFEC80;
constexpr std::uint32_t kAmiSignature = 0xFF400;
constexpr std::uint32_t kAmiMarkerWindow = 0xFE840;

// A plausible image: zeros, a reset vector, a date and a copyright line, none of which
// holds a marker or a family name.
std::vector<std::uint8_t> BlankImage() {
    std::vector<std::uint8_t> image(kBiosImageSize, 0x00);
    PutBytes(image, 0xFFFF0, "\xEA\x5B\xE0\x00\xF0");  // jmp far F000:E05B
    PutBytes(image, 0xFFFF5, "06/15/09");
    PutBytes(image, 0xF0100, "(C) Copyright 1985-2009 BIOS vendor, all rights reserved");
    return image;
}

}  // namespace

void PutBytes(std::vector<std::uint8_t>& image, std::uint32_t physical, std::string_view bytes) {
    if (physical < kBiosImageBase || physical - kBiosImageBase + bytes.size() > image.size()) {
        throw std::out_of_range("bytes outside the BIOS image");
    }
    std::copy(bytes.begin(), bytes.end(), image.begin() + (physical - kBiosImageBase));
}

std::optional<BiosKind> ParseBiosKind(std::string_view name) {
    if (name == "ami") return BiosKind::Ami;
    if (name == "award") return BiosKind::Award;
    if (name == "ami-family") return BiosKind::AmiFamily;
    if (name == "none") return BiosKind::None;
    return std::nullopt;
}

std::vector<std::uint8_t> BuiltInBiosImage(BiosKind kind) {
    std::vector<std::uint8_t> image = BlankImage();
    switch (kind) {
        case BiosKind::Ami:
            PutBytes(image, kAmiSignature, "AMIBIOS(C)2009 American Megatrends");
            PutBytes(image, kAmiMarkerWindow + 12, "AK");
            break;
        case BiosKind::Award:
            PutBytes(image, kAwardSignature, "Phoenix - AwardBIOS v6.00PG");
            PutBytes(image, kAwardMarkerWindow + 4, "AK");
            break;
        case BiosKind::AmiFamily:
            PutBytes(image, kAmiSignature, "AMIBIOS(C)2009 American Megatrends");
            PutBytes(image, 0xF9A10, "KEV-6150 industrial board");
            break;
        case BiosKind::None:
            break;
    }
    return image;
}

std::vector<std::uint8_t> LoadBiosImageFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        throw std::runtime_error("cannot read BIOS image file '" + path + "'");
    }
    std::vector<std::uint8_t> image((std::istreambuf_iterator<char>(file)),
                                    std::istreambuf_iterator<char>());
    if (image.size() != kBiosImageSize) {
        throw std::runtime_error("BIOS image file '" + path + "' holds " +
                                 std::to_string(image.size()) +
                                 " bytes; it must hold exactly 65536 (0xF0000-0xFFFFF)");
    }
    return image;
}

}  // namespace simboard
