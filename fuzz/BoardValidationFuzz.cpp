// BIOS images for board validation. The input is a list of patches onto a blank 64 KiB
// image: raw bytes or known texts (vendor signatures, the board marker, family prefixes,
// cut-off variants of them) placed at or near the addresses that validation reads, plus
// failures of the platform (a range that cannot be mapped, a failed mapping or pool
// allocation by call number).
//
// CheckValidBoard's result, its debug text and the number of mappings and allocations it
// makes must equal those of the plain model below, written straight from the rules of
// board validation. Nothing may be left mapped or allocated, and ASan watches that no byte
// outside a mapping is read (the platform maps fresh buffers of exactly the asked size).
#include "FuzzSupport.h"
#include "RailwatchDrv.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>
#include <vector>

namespace {

constexpr std::uint32_t kBase = 0xF0000;
constexpr std::uint32_t kEnd = 0x100000;
constexpr std::uint32_t kAwardSignatureAt = 0xFE061;
constexpr std::uint32_t kAmiSignatureAt = 0xFF400;
constexpr std::uint32_t kAwardMarkerWindow = 0xFEC80;
constexpr std::uint32_t kAmiMarkerWindow = 0xFE840;
constexpr std::uint32_t kMarkerWindowLength = 32;
constexpr std::uint32_t kScanWindowLength = 2048;
constexpr std::string_view kAwardSignature = "Phoenix - AwardBIOS";
constexpr std::string_view kAmiSignature = "AMIBIOS";
constexpr std::array<std::string_view, 9> kFamilyPrefixes = {"KEV-", "RBZ", "OLMI", "ZUTR", "HEGO",
                                                             "WYN",  "FOJ", "VEB",  "JOK"};

// Texts a patch can place: the whole of each, and a few near misses.
constexpr std::string_view kTexts[] = {
    kAwardSignature,
    kAmiSignature,
    "AK",
    "AAK",
    "A",
    "K",
    "KEV-",
    "RBZ",
    "OLMI",
    "ZUTR",
    "HEGO",
    "WYN",
    "FOJ",
    "VEB",
    "JOK",
    "KEV",
    "kev-",
    "Phoenix - AwardBIO",
    "AMIBIO",
    std::string_view("AMI\0IOS", 7),
    "Phoenix - AwardBIOS AMIBIOS",
};

// Addresses near which a patch lands: validation's fixed addresses, and scan windows'
// boundaries (anchor 5 picks the window by a further value).
constexpr std::uint32_t kAnchors[] = {kBase, kAwardSignatureAt, kAmiSignatureAt, kAwardMarkerWindow,
                                      kAmiMarkerWindow};

struct Faults {
    std::vector<std::pair<std::uint32_t, std::uint32_t>> unmappable;  // [start, end)
    unsigned failMapping = 0;     // call number of MmMapIoSpace that fails, 0 for none
    unsigned failAllocation = 0;  // the same for ExAllocatePoolWithTag
};

// Board validation as the rules state it, over an image and a set of faults.
class Model {
  public:
    Model(const std::vector<std::uint8_t>& image, const Faults& faults)
        : image_(image), faults_(faults) {}

    struct Result {
        bool valid = false;
        const char* biosMessage = nullptr;  // "AWARD_BIOS" / "AMI_BIOS" / none
        bool closingMessage = false;
        unsigned mappings = 0;  // MmMapIoSpace calls
        unsigned allocations = 0;
    };

    Result Run() {
        Result result;
        std::uint32_t window;
        bool familyScan;
        if (Holds(kAwardSignatureAt, kAwardSignature)) {
            window = kAwardMarkerWindow;
            familyScan = false;
            result.biosMessage = "AWARD_BIOS";
        } else if (Holds(kAmiSignatureAt, kAmiSignature)) {
            window = kAmiMarkerWindow;
            familyScan = true;
            result.biosMessage = "AMI_BIOS";
        } else {
            return Finish(result);
        }
        if (!Map(window, kMarkerWindowLength)) {
            return Finish(result);
        }
        for (std::uint32_t i = 0; i + 1 < kMarkerWindowLength && !result.valid; ++i) {
            result.valid = Byte(window + i) == 0x41 && Byte(window + i + 1) == 0x4B;
        }
        if (!result.valid && familyScan) {
            for (std::uint32_t base = kBase; base < kEnd && !result.valid;
                 base += kScanWindowLength) {
                for (const auto prefix : kFamilyPrefixes) {
                    if (WindowHolds(base, prefix)) {
                        result.valid = true;
                        break;
                    }
                }
            }
        }
        result.closingMessage = true;
        return Finish(result);
    }

  private:
    Result& Finish(Result& result) {
        result.mappings = mappings_;
        result.allocations = allocations_;
        return result;
    }

    std::uint8_t Byte(std::uint32_t address) const { return image_[address - kBase]; }

    bool Map(std::uint32_t address, std::uint32_t length) {
        ++mappings_;
        if (mappings_ == faults_.failMapping) {
            return false;
        }
        for (const auto& [start, end] : faults_.unmappable) {
            if (address < end && start < address + length) {
                return false;
            }
        }
        return true;
    }

    bool Allocate() { return ++allocations_ != faults_.failAllocation; }

    bool Holds(std::uint32_t address, std::string_view text) {
        if (!Map(address, std::uint32_t(text.size()))) {
            return false;
        }
        for (std::size_t i = 0; i < text.size(); ++i) {
            if (Byte(address + std::uint32_t(i)) != std::uint8_t(text[i])) {
                return false;
            }
        }
        return true;
    }

    // The prefix lies wholly inside the window.
    bool WindowHolds(std::uint32_t base, std::string_view prefix) {
        if (!Map(base, kScanWindowLength) || !Allocate()) {
            return false;
        }
        for (std::uint32_t start = 0; start + prefix.size() <= kScanWindowLength; ++start) {
            if (std::memcmp(&image_[base - kBase + start], prefix.data(), prefix.size()) == 0) {
                return true;
            }
        }
        return false;
    }

    const std::vector<std::uint8_t>& image_;
    const Faults& faults_;
    unsigned mappings_ = 0;
    unsigned allocations_ = 0;
};

std::uint32_t PickAddress(FuzzedDataProvider& data) {
    const int anchor = data.ConsumeIntegralInRange(0, 6);
    std::int64_t address;
    if (anchor == 5) {
        address = kBase + data.ConsumeIntegralInRange<std::uint32_t>(0, 32) * kScanWindowLength;
    } else if (anchor == 6) {
        address = kBase + data.ConsumeIntegral<std::uint16_t>();
    } else {
        address = kAnchors[anchor];
    }
    address += data.ConsumeIntegralInRange(-40, 40);
    return std::uint32_t(std::clamp<std::int64_t>(address, kBase, kEnd - 1));
}

void Put(std::vector<std::uint8_t>& image, std::uint32_t address, std::string_view bytes) {
    for (std::size_t i = 0; i < bytes.size() && address + i < kEnd; ++i) {
        image[address - kBase + i] = std::uint8_t(bytes[i]);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    FuzzedDataProvider data(bytes, size);
    std::vector<std::uint8_t> image(host::kBiosSize, data.ConsumeBool() ? 0x00 : 0xFF);
    Faults faults;

    for (int patch = 0; patch < 64 && data.remaining_bytes() > 0; ++patch) {
        const int kind = data.ConsumeIntegralInRange(0, 9);
        if (kind <= 4) {
            const std::uint32_t address = PickAddress(data);
            Put(image, address, data.PickValueInArray(kTexts));
        } else if (kind <= 7) {
            const std::uint32_t address = PickAddress(data);
            const std::string raw = data.ConsumeRandomLengthString(64);
            Put(image, address, raw);
        } else if (kind == 8) {
            const std::uint32_t address = PickAddress(data);
            const std::uint32_t length = data.ConsumeIntegralInRange<std::uint32_t>(1, 4096);
            faults.unmappable.emplace_back(address, address + length);
        } else if (data.ConsumeBool()) {
            faults.failMapping = data.ConsumeIntegralInRange(1, 300);
        } else {
            faults.failAllocation = data.ConsumeIntegralInRange(1, 300);
        }
    }

    host::ResetPlatform();
    host::SetBiosImage(image);
    for (const auto& [start, end] : faults.unmappable) {
        host::MarkUnmappable(start, end - start);
    }
    if (faults.failMapping != 0) {
        host::FailCall("MmMapIoSpace", faults.failMapping);
    }
    if (faults.failAllocation != 0) {
        host::FailCall("ExAllocatePoolWithTag", faults.failAllocation);
    }

    const bool valid = CheckValidBoard() != FALSE;
    const Model::Result expected = Model(image, faults).Run();
    const std::string text = host::DebugText();

    FUZZ_CHECK(valid == expected.valid, std::string("CheckValidBoard says ") +
                                            (valid ? "TRUE" : "FALSE") +
                                            ", the rules say otherwise; debug text:\n" + text);
    FUZZ_CHECK(host::CallCount("MmMapIoSpace") == expected.mappings,
               std::to_string(host::CallCount("MmMapIoSpace")) + " mappings, the rules make " +
                   std::to_string(expected.mappings));
    FUZZ_CHECK(host::CallCount("ExAllocatePoolWithTag") == expected.allocations,
               std::to_string(host::CallCount("ExAllocatePoolWithTag")) +
                   " allocations, the rules make " + std::to_string(expected.allocations));
    FUZZ_CHECK(text.find("---->CheckValidBoard!---->\n\n") == 0, "no entry message:\n" + text);
    for (const char* message : {"AWARD_BIOS", "AMI_BIOS"}) {
        const bool printed = text.find(std::string(message) + " \n\n") != std::string::npos;
        const bool meant =
            expected.biosMessage != nullptr && std::string_view(expected.biosMessage) == message;
        FUZZ_CHECK(printed == meant, std::string(message) + " message wrong:\n" + text);
    }
    const bool closed = text.find("<---- CheckValidBoard!    bValid = ") != std::string::npos;
    FUZZ_CHECK(closed == expected.closingMessage, "closing message wrong:\n" + text);
    if (closed) {
        const std::string verdict =
            std::string("bValid = ") + (expected.valid ? "TRUE" : "FALSE") + "<----\n\n";
        FUZZ_CHECK(text.find(verdict) != std::string::npos,
                   "closing message names the wrong result:\n" + text);
    }
    FUZZ_CHECK(host::LiveMappings().empty(), "a mapping is left");
    FUZZ_CHECK(host::OutstandingPool().empty(), "a pool block is left");
    fuzzsupport::CheckNothingLeft();
    return 0;
}
