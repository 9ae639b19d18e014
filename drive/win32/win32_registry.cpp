#include "drive/win32/win32_registry.h"

#include <windows.h>

namespace kfs {

namespace {

HKEY AsHkey(RegistryKey key) {
    return reinterpret_cast<HKEY>(key);
}

}  // namespace

std::optional<RegistryKey> Win32Registry::OpenKey(std::optional<RegistryKey> parent,
                                                  const std::string& path) {
    HKEY opened = nullptr;
    const HKEY from = parent ? AsHkey(*parent) : HKEY_LOCAL_MACHINE;
    if (RegOpenKeyExA(from, path.c_str(), 0, KEY_ALL_ACCESS, &opened) != ERROR_SUCCESS)
        return std::nullopt;
    return reinterpret_cast<RegistryKey>(opened);
}

std::optional<std::string> Win32Registry::EnumSubKey(RegistryKey key, std::uint32_t index) {
    char name[257] = {};
    DWORD length = sizeof name;
    if (RegEnumKeyExA(AsHkey(key), index, name, &length, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS)
        return std::nullopt;
    return std::string(name, length);
}

std::optional<std::vector<std::uint8_t>> Win32Registry::QueryValue(RegistryKey key,
                                                                   const std::string& name,
                                                                   std::uint32_t capacity) {
    std::vector<std::uint8_t> data(capacity == 0 ? 1 : capacity, 0);
    DWORD size = capacity;
    DWORD type = 0;
    if (RegQueryValueExA(AsHkey(key), name.c_str(), nullptr, &type, data.data(), &size) !=
        ERROR_SUCCESS)
        return std::nullopt;
    data.resize(size);
    return data;
}

bool Win32Registry::SetBinaryValue(RegistryKey key, const std::string& name,
                                   const std::vector<std::uint8_t>& data) {
    return RegSetValueExA(AsHkey(key), name.c_str(), 0, REG_BINARY, data.data(),
                          static_cast<DWORD>(data.size())) == ERROR_SUCCESS;
}

void Win32Registry::CloseKey(RegistryKey key) {
    RegCloseKey(AsHkey(key));
}

}  // namespace kfs
