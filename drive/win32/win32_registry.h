#pragma once
// The registry interface over the Win32 registry calls (HKEY_LOCAL_MACHINE, KEY_ALL_ACCESS).
#include "drive/auto_insert.h"

namespace kfs {

class Win32Registry : public Registry {
  public:
    std::optional<RegistryKey> OpenKey(std::optional<RegistryKey> parent,
                                       const std::string& path) override;
    std::optional<std::string> EnumSubKey(RegistryKey key, std::uint32_t index) override;
    std::optional<std::vector<std::uint8_t>> QueryValue(RegistryKey key, const std::string& name,
                                                        std::uint32_t capacity) override;
    bool SetBinaryValue(RegistryKey key, const std::string& name,
                        const std::vector<std::uint8_t>& data) override;
    void CloseKey(RegistryKey key) override;
};

}  // namespace kfs
