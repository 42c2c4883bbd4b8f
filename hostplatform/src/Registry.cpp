// The registry: keys made by tests, values written by the driver.
//
// Key paths and value names match without regard to case and keep the spelling they were
// first made with. Keys list in creation order, values in the order of their first write.
#include "Internal.h"

#include <cstdio>
#include <mutex>

namespace host {
namespace registry {

struct Value {
    std::u16string name;
    ULONG type;
    std::vector<std::uint8_t> data;
};

struct Key {
    std::u16string path;
    std::vector<Value> values;
};

struct RegistryState {
    std::mutex mutex;
    std::vector<Key> keys;
};

RegistryState& TheRegistry() {
    static RegistryState state;
    return state;
}

Key* FindKey(RegistryState& state, std::u16string_view path) {
    for (auto& key : state.keys) {
        if (detail::EqualsIgnoreCase(key.path, path)) return &key;
    }
    return nullptr;
}

std::string FormatValue(const RegistryValue& value) {
    std::string line = detail::Narrow(value.key) + "\\" + detail::Narrow(value.name) + " ";
    char number[32];
    if (value.type == REG_DWORD && value.data.size() == 4) {
        std::uint32_t dword = 0;
        std::memcpy(&dword, value.data.data(), 4);
        std::snprintf(number, sizeof number, "REG_DWORD 0x%08X", dword);
        return line + number;
    }
    if (value.type == REG_SZ) {
        std::u16string text;
        for (std::size_t i = 0; i + 1 < value.data.size(); i += 2) {
            const char16_t c = static_cast<char16_t>(value.data[i] | (value.data[i + 1] << 8));
            if (c == 0) break;
            text += c;
        }
        return line + "REG_SZ " + std::to_string(value.data.size()) + " \"" + detail::Narrow(text) +
               "\"";
    }
    // Any other type, and a REG_DWORD of the wrong length: the raw bytes.
    switch (value.type) {
        case REG_NONE:
            line += "REG_NONE";
            break;
        case REG_DWORD:
            line += "REG_DWORD";
            break;
        default:
            line.append("TYPE_").append(std::to_string(value.type));
            break;
    }
    line.append(" ").append(std::to_string(value.data.size()));
    for (const auto byte : value.data) {
        std::snprintf(number, sizeof number, " %02X", byte);
        line += number;
    }
    return line;
}

}  // namespace registry

void CreateRegistryKey(std::u16string_view path) {
    auto& state = registry::TheRegistry();
    std::lock_guard lock(state.mutex);
    if (registry::FindKey(state, path) == nullptr) {
        state.keys.push_back(registry::Key{std::u16string(path), {}});
    }
}

std::optional<RegistryValue> FindRegistryValue(std::u16string_view key, std::u16string_view name) {
    auto& state = registry::TheRegistry();
    std::lock_guard lock(state.mutex);
    const auto* found = registry::FindKey(state, key);
    if (found == nullptr) return std::nullopt;
    for (const auto& value : found->values) {
        if (detail::EqualsIgnoreCase(value.name, name)) {
            return RegistryValue{found->path, value.name, value.type, value.data};
        }
    }
    return std::nullopt;
}

std::vector<RegistryValue> RegistryValues() {
    auto& state = registry::TheRegistry();
    std::lock_guard lock(state.mutex);
    std::vector<RegistryValue> values;
    for (const auto& key : state.keys) {
        for (const auto& value : key.values) {
            values.push_back(RegistryValue{key.path, value.name, value.type, value.data});
        }
    }
    return values;
}

std::string DumpRegistry() {
    std::string dump;
    for (const auto& value : RegistryValues()) dump += registry::FormatValue(value) + "\n";
    return dump;
}

namespace detail {
void ResetRegistry() {
    auto& state = registry::TheRegistry();
    std::lock_guard lock(state.mutex);
    state.keys.clear();
}
}  // namespace detail
}  // namespace host

NTSTATUS NTAPI RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName,
                                     ULONG ValueType, PVOID ValueData, ULONG ValueLength) {
    using namespace host;
    NTSTATUS failure = STATUS_SUCCESS;
    const bool fail = detail::EnterRoutine("RtlWriteRegistryValue", &failure);
    if (KeGetCurrentIrql() > PASSIVE_LEVEL) {
        AddReport(ReportKind::Irql,
                  "RtlWriteRegistryValue at IRQL " + std::to_string(KeGetCurrentIrql()));
    }
    if (fail) return failure;
    if (RelativeTo != RTL_REGISTRY_ABSOLUTE || Path == nullptr ||
        (ValueData == nullptr && ValueLength != 0)) {
        return STATUS_INVALID_PARAMETER;
    }
    const std::u16string name = detail::ToU16(ValueName);
    const auto* bytes = static_cast<const std::uint8_t*>(ValueData);
    std::vector<std::uint8_t> data(bytes, bytes + ValueLength);

    auto& state = registry::TheRegistry();
    std::lock_guard lock(state.mutex);
    auto* key = registry::FindKey(state, Path);
    if (key == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
    for (auto& value : key->values) {
        if (detail::EqualsIgnoreCase(value.name, name)) {
            value.type = ValueType;
            value.data = std::move(data);
            return STATUS_SUCCESS;
        }
    }
    key->values.push_back(registry::Value{name, ValueType, std::move(data)});
    return STATUS_SUCCESS;
}
