#include "BoardCommandLine.h"

#include "ApiLibrary.h"

#include <array>
#include <charconv>
#include <optional>
#include <stdexcept>

namespace simboard {
namespace {

constexpr std::array<std::string_view, 8> kBoardOptions = {
    "--bios", "--bios-kind", "--superio",      "--chip-id",
    "--pwr1", "--pwr2",      "--driver-image", "--api-image"};

// A byte written 0xNN.
std::optional<UCHAR> ParseByte(std::string_view text) {
    if (text.size() < 3 || text[0] != '0' || (text[1] != 'x' && text[1] != 'X')) {
        return std::nullopt;
    }
    text.remove_prefix(2);
    unsigned value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
    if (error != std::errc() || end != text.data() + text.size() || value > 0xFF) {
        return std::nullopt;
    }
    return static_cast<UCHAR>(value);
}

std::optional<bool> ParseLevel(std::string_view text) {
    if (text == "0") return false;
    if (text == "1") return true;
    return std::nullopt;
}

std::string Refused(std::string_view option, std::string_view takes, std::string_view value) {
    return std::string(option) + " takes " + std::string(takes) + ", not '" + std::string(value) +
           "'";
}

}  // namespace

std::optional<USHORT> ParseSuperIoPosition(std::string_view text) {
    if (text == "2e") return USHORT{0x2E};
    if (text == "4e") return USHORT{0x4E};
    if (text == "none") return USHORT{0};
    return std::nullopt;
}

bool BoardCommandLine::Takes(std::string_view option) {
    for (const auto known : kBoardOptions) {
        if (option == known) return true;
    }
    return false;
}

std::string BoardCommandLine::Apply(std::string_view option, std::string_view value,
                                    BoardOptions& board) {
    if (option == "--bios" || option == "--bios-kind") {
        if (biosOption_ == option) {
            return std::string(option) + " given twice";
        }
        if (!biosOption_.empty()) {
            return biosOption_ + " and " + std::string(option) + " exclude each other";
        }
        if (option == "--bios") {
            try {
                board.bios = LoadBiosImageFile(std::string(value));
            } catch (const std::runtime_error& error) {
                return error.what();
            }
        } else {
            const auto kind = ParseBiosKind(value);
            if (!kind) return Refused(option, "ami, award, ami-family or none", value);
            board.bios = BuiltInBiosImage(*kind);
        }
        biosOption_ = option;
    } else if (option == "--superio") {
        const auto position = ParseSuperIoPosition(value);
        if (!position) return Refused(option, "2e, 4e or none", value);
        board.superIoIndexPort = *position;
    } else if (option == "--chip-id") {
        const auto id = ParseByte(value);
        if (!id) return Refused(option, "0xNN", value);
        board.chipId = *id;
    } else if (option == "--pwr1" || option == "--pwr2") {
        const auto level = ParseLevel(value);
        if (!level) return Refused(option, "0 or 1", value);
        (option == "--pwr1" ? board.pwr1 : board.pwr2) = *level;
    } else if (option == "--driver-image") {
        // Loaded once here so that an image the platform cannot run is refused before the
        // board exists; the board maps its own fresh copy.
        try {
            host::LoadImage(std::string(value), host::ImageKind::Driver);
        } catch (const host::ImageError& error) {
            return error.what();
        }
        board.driverImage = value;
    } else if (option == "--api-image") {
        // The same for the library; it gets a fresh copy when the program loads it.
        std::string error;
        if (ApiLibrary::LoadImage(std::string(value), error) == nullptr) return error;
        board.apiImage = value;
    } else {
        return "unknown board option '" + std::string(option) + "'";
    }
    return {};
}

}  // namespace simboard
