#pragma once
// The auto-insert notification flag of a drive on Windows 95/98/ME: the REG_BINARY value
// "AutoInsertNotification" of the drive's instance key under HKEY_LOCAL_MACHINE\Enum\SCSI.
// Used only with the ASPI back end (TAtapiImp::UsesPassThrough false).
//
// The registry is reached through a small interface so that the logic runs natively against an
// in-memory registry; drive/win32/win32_registry.h implements it with the Win32 calls.
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kfs {

// An open key; the value is the implementation's own (an HKEY on Windows).
using RegistryKey = std::uintptr_t;

class Registry {
  public:
    virtual ~Registry() = default;

    // Opens `path` ("A\B\C") below HKEY_LOCAL_MACHINE (parent nullopt) or below an open key,
    // with all access. nullopt when it does not exist or cannot be opened.
    virtual std::optional<RegistryKey> OpenKey(std::optional<RegistryKey> parent,
                                               const std::string& path) = 0;
    // Name of sub-key `index` (0 upwards); nullopt when there is none at that index (or the
    // enumeration fails).
    virtual std::optional<std::string> EnumSubKey(RegistryKey key, std::uint32_t index) = 0;
    // Data of value `name`, whatever its type, if it fits in `capacity` bytes; nullopt when it
    // is missing, cannot be read or is larger.
    virtual std::optional<std::vector<std::uint8_t>> QueryValue(RegistryKey key,
                                                                const std::string& name,
                                                                std::uint32_t capacity) = 0;
    // Sets value `name` to `data` with type REG_BINARY; false when refused.
    virtual bool SetBinaryValue(RegistryKey key, const std::string& name,
                                const std::vector<std::uint8_t>& data) = 0;
    virtual void CloseKey(RegistryKey key) = 0;
};

// The read result when the instance key or its flag cannot be found or read.
inline constexpr std::uint8_t kAutoInsertUnknown = 2;

// "Enum\SCSI\" and the first 25 characters of the drive key (model name and first version
// character) with every blank turned into "_".
std::string AutoInsertDeviceKeyName(const std::string& driveKey);

// The drive key: the 24-character model name immediately followed by the 4-character version.
inline std::string AutoInsertDriveKey(const std::string& modelName, const std::string& version) {
    return modelName + version;
}

// The stored flag byte (0 or 1, or whatever single byte is stored), or kAutoInsertUnknown.
std::uint8_t ReadAutoInsertNotification(Registry& registry, const std::string& driveKey);

// Stores `value` as a 1-byte REG_BINARY; true when stored.
bool WriteAutoInsertNotification(Registry& registry, const std::string& driveKey,
                                 std::uint8_t value);

// A registry in memory for tests and for platforms without one. Keys keep their sub-keys in the
// order they were created, which is the enumeration order.
class MemoryRegistry : public Registry {
  public:
    struct Node {
        std::vector<std::pair<std::string, std::unique_ptr<Node>>> subKeys;
        std::map<std::string, std::vector<std::uint8_t>> values;
        bool readOnly = false;   // SetBinaryValue refused
        bool openFails = false;  // OpenKey of this key fails
    };

    // Creates the key (and its parents) below HKEY_LOCAL_MACHINE and returns it.
    Node& CreateKey(const std::string& path);
    // The key, or nullptr.
    Node* FindKey(const std::string& path);
    // Sets a value's raw data (a REG_SZ text is its characters and a terminating zero).
    void SetValue(const std::string& path, const std::string& name, std::vector<std::uint8_t> data);
    static std::vector<std::uint8_t> Text(const std::string& text);

    std::optional<RegistryKey> OpenKey(std::optional<RegistryKey> parent,
                                       const std::string& path) override;
    std::optional<std::string> EnumSubKey(RegistryKey key, std::uint32_t index) override;
    std::optional<std::vector<std::uint8_t>> QueryValue(RegistryKey key, const std::string& name,
                                                        std::uint32_t capacity) override;
    bool SetBinaryValue(RegistryKey key, const std::string& name,
                        const std::vector<std::uint8_t>& data) override;
    void CloseKey(RegistryKey key) override;

    // Keys opened and not yet closed.
    int OpenCount() const { return static_cast<int>(open_.size()); }

  private:
    Node* Walk(Node* from, const std::string& path, bool create);
    Node root_;
    std::map<RegistryKey, Node*> open_;
    RegistryKey next_ = 1;
};

}  // namespace kfs
