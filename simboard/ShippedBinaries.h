// The shipped Windows binaries that scripts/build-windows puts into dist/, for the tests
// and benchmarks that run them on the simulated platform. RAILWATCH_DIST names another
// dist folder; without it they are looked for in the source tree's dist/.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace simboard {

// Paths inside a dist folder.
inline constexpr char kShippedDriverImage[] = "RailwatchDrv.sys";
inline constexpr char kShippedApiImage[] = "x64/RailwatchApi.dll";

std::filesystem::path DistFolder();

// The binary at `relative` in the dist folder, or nothing when it is not there.
std::optional<std::string> FindShipped(const std::string& relative);

// Why what needs the binary at `relative` cannot run: it is not there, and how to get it.
std::string MissingShipped(const std::string& relative);

}  // namespace simboard
