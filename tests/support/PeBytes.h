// Reading and changing the bytes of a PE32+ file, for tests that make broken copies of a
// shipped image: the headers' offsets, the section table, the export directory.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace pebytes {

using Bytes = std::vector<std::uint8_t>;

inline Bytes Load(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void Save(const std::string& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

inline std::uint32_t Read32(const Bytes& file, std::size_t offset) {
    std::uint32_t value = 0;
    std::memcpy(&value, file.data() + offset, sizeof value);
    return value;
}

inline void Write32(Bytes& file, std::size_t offset, std::uint32_t value) {
    std::memcpy(file.data() + offset, &value, sizeof value);
}

// Where the optional header lies in a PE32+ file.
inline std::size_t OptionalHeader(const Bytes& file) { return Read32(file, 0x3C) + 24; }

// The file offset of an RVA, found through the section table.
inline std::size_t FileOffset(const Bytes& file, std::uint32_t rva) {
    const std::size_t pe = Read32(file, 0x3C);
    const std::size_t sectionCount = file[pe + 6] | file[pe + 7] << 8;
    const std::size_t sections = OptionalHeader(file) + (file[pe + 20] | file[pe + 21] << 8);
    for (std::size_t i = 0; i < sectionCount; ++i) {
        const std::size_t header = sections + 40 * i;
        const std::uint32_t start = Read32(file, header + 12);
        if (rva >= start && rva < start + Read32(file, header + 16)) {
            return Read32(file, header + 20) + (rva - start);
        }
    }
    ADD_FAILURE() << "RVA " << rva << " lies in no section";
    return 0;
}

// Where the export directory's parts lie in the file.
struct ExportDirectory {
    std::size_t directory;     // the directory itself
    std::size_t names;         // name RVAs, in the names' order
    std::size_t nameOrdinals;  // for each name, its index into the address table (16 bits)
    std::uint32_t nameCount;
};

inline ExportDirectory FindExports(const Bytes& file) {
    ExportDirectory exports{};
    exports.directory = FileOffset(file, Read32(file, OptionalHeader(file) + 112));  // directory 0
    exports.nameCount = Read32(file, exports.directory + 24);
    exports.names = FileOffset(file, Read32(file, exports.directory + 32));
    exports.nameOrdinals = FileOffset(file, Read32(file, exports.directory + 36));
    return exports;
}

// The position of `name` in the export name table.
inline std::size_t NameIndex(const Bytes& file, const ExportDirectory& exports,
                             const std::string& name) {
    for (std::size_t i = 0; i < exports.nameCount; ++i) {
        const std::uint32_t rva = Read32(file, exports.names + 4 * i);
        // Names lie in the same section as the table that points at them.
        const std::size_t offset = exports.names + (rva - Read32(file, exports.directory + 32));
        if (std::strcmp(reinterpret_cast<const char*>(file.data() + offset), name.c_str()) == 0) {
            return i;
        }
    }
    ADD_FAILURE() << name << " is not in the export name table";
    return 0;
}

inline void RenameExport(Bytes& file, const std::string& name, const std::string& other) {
    ASSERT_EQ(name.size(), other.size());
    const std::string needle = name + '\0';
    const auto found = std::search(file.begin(), file.end(), needle.begin(), needle.end());
    ASSERT_NE(found, file.end()) << name;
    std::copy(other.begin(), other.end(), found);
}

// The file offset of the code that the export `name` leads to.
inline std::size_t ExportedCode(const Bytes& file, const std::string& name) {
    const ExportDirectory exports = FindExports(file);
    const std::size_t index = NameIndex(file, exports, name);
    const std::uint16_t slot = static_cast<std::uint16_t>(
        file[exports.nameOrdinals + 2 * index] | file[exports.nameOrdinals + 2 * index + 1] << 8);
    const std::size_t addresses = FileOffset(file, Read32(file, exports.directory + 28));
    return FileOffset(file, Read32(file, addresses + 4 * slot));
}

}  // namespace pebytes
