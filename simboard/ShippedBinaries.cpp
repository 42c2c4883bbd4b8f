#include "ShippedBinaries.h"

#include <cstdlib>

#ifndef RAILWATCH_DEFAULT_DIST
#error "RAILWATCH_DEFAULT_DIST must name the source tree's dist folder"
#endif

namespace simboard {

std::filesystem::path DistFolder() {
    const char* folder = std::getenv("RAILWATCH_DIST");
    return folder != nullptr && *folder != '\0' ? folder : RAILWATCH_DEFAULT_DIST;
}

std::optional<std::string> FindShipped(const std::string& relative) {
    const std::filesystem::path path = DistFolder() / relative;
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error)) {
        return std::nullopt;
    }
    return path.string();
}

std::string MissingShipped(const std::string& relative) {
    return "no " + (DistFolder() / relative).string() +
           ": run scripts/build-windows (or set RAILWATCH_DIST to a dist folder) to run it";
}

}  // namespace simboard
