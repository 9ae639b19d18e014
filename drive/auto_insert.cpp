#include "drive/auto_insert.h"

#include <algorithm>

namespace kfs {

namespace {

constexpr char kDeviceKeyPrefix[] = "Enum\\SCSI\\";
constexpr std::size_t kDeviceKeyChars = 25;  // the model name and the first version character
constexpr std::size_t kVersionOffset = 24;
constexpr std::size_t kVersionLength = 4;
constexpr std::uint32_t kRevisionCapacity = 8;
constexpr char kRevisionLevel[] = "RevisionLevel";
constexpr char kFlagValue[] = "AutoInsertNotification";
// Far more instances than one device key ever has; ends a registry that enumerates forever.
constexpr std::uint32_t kMaxInstances = 4096;

// Compares like strncmp over at most 4 characters: a zero byte ends both texts.
bool SameVersion(const std::vector<std::uint8_t>& stored, const std::string& version) {
    for (std::size_t i = 0; i < kVersionLength; ++i) {
        const char a = i < stored.size() ? static_cast<char>(stored[i]) : '\0';
        const char b = i < version.size() ? version[i] : '\0';
        if (a != b)
            return false;
        if (a == '\0')
            return true;
    }
    return true;
}

// The open instance key of the drive: the sub-key of its device key whose "RevisionLevel" is
// the drive's version. An instance whose "RevisionLevel" cannot be read does not match.
std::optional<RegistryKey> FindInstanceKey(Registry& registry, const std::string& driveKey) {
    const std::optional<RegistryKey> device =
        registry.OpenKey(std::nullopt, AutoInsertDeviceKeyName(driveKey));
    if (!device)
        return std::nullopt;

    std::vector<std::string> names;
    for (std::uint32_t i = 0; i < kMaxInstances; ++i) {
        std::optional<std::string> name = registry.EnumSubKey(*device, i);
        if (!name)
            break;
        names.push_back(std::move(*name));
    }

    const std::string version =
        driveKey.size() > kVersionOffset ? driveKey.substr(kVersionOffset, kVersionLength) : "";
    for (const std::string& name : names) {
        const std::optional<RegistryKey> instance = registry.OpenKey(*device, name);
        if (!instance)
            break;
        const auto revision = registry.QueryValue(*instance, kRevisionLevel, kRevisionCapacity);
        if (revision && SameVersion(*revision, version)) {
            registry.CloseKey(*device);
            return instance;
        }
        registry.CloseKey(*instance);
    }
    registry.CloseKey(*device);
    return std::nullopt;
}

}  // namespace

std::string AutoInsertDeviceKeyName(const std::string& driveKey) {
    std::string tail = driveKey.substr(0, std::min(kDeviceKeyChars, driveKey.size()));
    std::replace(tail.begin(), tail.end(), ' ', '_');
    return kDeviceKeyPrefix + tail;
}

std::uint8_t ReadAutoInsertNotification(Registry& registry, const std::string& driveKey) {
    const std::optional<RegistryKey> instance = FindInstanceKey(registry, driveKey);
    if (!instance)
        return kAutoInsertUnknown;
    const auto flag = registry.QueryValue(*instance, kFlagValue, 1);
    registry.CloseKey(*instance);
    if (!flag)
        return kAutoInsertUnknown;
    // A value of no bytes leaves the cleared byte as it was.
    return flag->empty() ? 0 : (*flag)[0];
}

bool WriteAutoInsertNotification(Registry& registry, const std::string& driveKey,
                                 std::uint8_t value) {
    const std::optional<RegistryKey> instance = FindInstanceKey(registry, driveKey);
    if (!instance)
        return false;
    const bool stored = registry.SetBinaryValue(*instance, kFlagValue, {value});
    registry.CloseKey(*instance);
    return stored;
}

// ---------------------------------------------------------------------------------------------

MemoryRegistry::Node* MemoryRegistry::Walk(Node* from, const std::string& path, bool create) {
    Node* node = from;
    std::size_t start = 0;
    while (node && start <= path.size()) {
        std::size_t end = path.find('\\', start);
        if (end == std::string::npos)
            end = path.size();
        const std::string part = path.substr(start, end - start);
        start = end + 1;
        if (part.empty())
            continue;
        auto it = std::find_if(node->subKeys.begin(), node->subKeys.end(),
                               [&part](const auto& entry) { return entry.first == part; });
        if (it != node->subKeys.end()) {
            node = it->second.get();
        } else if (create) {
            node->subKeys.emplace_back(part, std::make_unique<Node>());
            node = node->subKeys.back().second.get();
        } else {
            node = nullptr;
        }
    }
    return node;
}

MemoryRegistry::Node& MemoryRegistry::CreateKey(const std::string& path) {
    return *Walk(&root_, path, true);
}

MemoryRegistry::Node* MemoryRegistry::FindKey(const std::string& path) {
    return Walk(&root_, path, false);
}

void MemoryRegistry::SetValue(const std::string& path, const std::string& name,
                              std::vector<std::uint8_t> data) {
    CreateKey(path).values[name] = std::move(data);
}

std::vector<std::uint8_t> MemoryRegistry::Text(const std::string& text) {
    std::vector<std::uint8_t> data(text.begin(), text.end());
    data.push_back(0);
    return data;
}

std::optional<RegistryKey> MemoryRegistry::OpenKey(std::optional<RegistryKey> parent,
                                                   const std::string& path) {
    Node* from = &root_;
    if (parent) {
        auto it = open_.find(*parent);
        if (it == open_.end())
            return std::nullopt;
        from = it->second;
    }
    Node* node = Walk(from, path, false);
    if (!node || node->openFails)
        return std::nullopt;
    const RegistryKey key = next_++;
    open_[key] = node;
    return key;
}

std::optional<std::string> MemoryRegistry::EnumSubKey(RegistryKey key, std::uint32_t index) {
    auto it = open_.find(key);
    if (it == open_.end() || index >= it->second->subKeys.size())
        return std::nullopt;
    return it->second->subKeys[index].first;
}

std::optional<std::vector<std::uint8_t>> MemoryRegistry::QueryValue(RegistryKey key,
                                                                    const std::string& name,
                                                                    std::uint32_t capacity) {
    auto it = open_.find(key);
    if (it == open_.end())
        return std::nullopt;
    auto value = it->second->values.find(name);
    if (value == it->second->values.end() || value->second.size() > capacity)
        return std::nullopt;
    return value->second;
}

bool MemoryRegistry::SetBinaryValue(RegistryKey key, const std::string& name,
                                    const std::vector<std::uint8_t>& data) {
    auto it = open_.find(key);
    if (it == open_.end() || it->second->readOnly)
        return false;
    it->second->values[name] = data;
    return true;
}

void MemoryRegistry::CloseKey(RegistryKey key) {
    open_.erase(key);
}

}  // namespace kfs
