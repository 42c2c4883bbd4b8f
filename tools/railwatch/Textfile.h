// The readings as a Prometheus textfile, for the textfile collectors of the node and
// Windows exporters:
//
//   railwatch_up 1                            1: the supplies were read; 0: they were not,
//   railwatch_supply_good{supply="PWR1"} 1    and then there is no supply sample
//
// Every write is atomic: the text goes to a temporary file in the same directory, which is
// then renamed over the old file, so a collector never reads half a file. The temporary
// file's name does not end in ".prom", so collectors skip it.
#pragma once

#include "Device.h"

#include <string>

namespace railwatch {

// The reading in the Prometheus text exposition format, HELP and TYPE lines included.
std::string PrometheusText(const Reading& reading);

// Whether a textfile can be written at `path`: the path is not a directory, and its
// directory exists and takes a new file (tried by creating and removing the temporary
// file). Returns what is wrong, or an empty string.
std::string CheckTextfilePath(const std::string& path);

// Replaces the file at `path` by one holding `text`, atomically. When that fails the old
// file stays as it was, the temporary file is removed and the error is returned; a later
// call simply tries again. Returns an empty string on success.
std::string ReplaceFileAtomically(const std::string& path, const std::string& text);

// PrometheusText(reading) written to `path` with ReplaceFileAtomically.
std::string WriteTextfile(const std::string& path, const Reading& reading);

}  // namespace railwatch
