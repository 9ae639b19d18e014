// The auto-insert flag against keys that the test makes in the registry under
// HKEY_LOCAL_MACHINE\Enum\SCSI, read and written through the Win32 calls.
#include "drive/auto_insert.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "drive/win32/win32_registry.h"

namespace kfs {
namespace {

// A model name no real device has, so the test's keys never meet a real drive's.
const std::string kModel = "KFSTEST AUTO INSERT 1   ";
const std::string kDevice = "Enum\\SCSI\\KFSTEST_AUTO_INSERT_1___1";

void DeleteTree(HKEY parent, const std::string& name) {
    HKEY key;
    if (RegOpenKeyExA(parent, name.c_str(), 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS)
        return;
    char sub[260];
    for (;;) {
        DWORD length = sizeof sub;
        if (RegEnumKeyExA(key, 0, sub, &length, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS)
            break;
        DeleteTree(key, sub);
    }
    RegCloseKey(key);
    RegDeleteKeyA(parent, name.c_str());
}

class AutoInsertRegistry : public ::testing::Test {
  protected:
    void SetUp() override { DeleteTree(HKEY_LOCAL_MACHINE, kDevice); }
    void TearDown() override { DeleteTree(HKEY_LOCAL_MACHINE, kDevice); }

    static void SetValue(const std::string& path, const char* name, DWORD type,
                         const std::vector<BYTE>& data) {
        HKEY key;
        ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                  nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        if (name)
            RegSetValueExA(key, name, 0, type, data.data(), static_cast<DWORD>(data.size()));
        RegCloseKey(key);
    }
    static void SetRevision(const std::string& path, const std::string& revision) {
        SetValue(path, "RevisionLevel", REG_SZ,
                 std::vector<BYTE>(revision.c_str(), revision.c_str() + revision.size() + 1));
    }
    // Type and data of the stored flag.
    static std::pair<DWORD, std::vector<BYTE>> Flag(const std::string& path) {
        HKEY key;
        std::vector<BYTE> data(16);
        DWORD type = 0, size = static_cast<DWORD>(data.size());
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
            return {0, {}};
        if (RegQueryValueExA(key, "AutoInsertNotification", nullptr, &type, data.data(), &size) !=
            ERROR_SUCCESS)
            size = 0;
        RegCloseKey(key);
        data.resize(size);
        return {type, data};
    }
};

TEST_F(AutoInsertRegistry, ReadsAndWritesTheInstanceWithTheDrivesRevision) {
    ASSERT_EQ(AutoInsertDeviceKeyName(AutoInsertDriveKey(kModel, "1.01")), kDevice);
    SetRevision(kDevice + "\\0001", "1.01");
    SetValue(kDevice + "\\0001", "AutoInsertNotification", REG_BINARY, {1});
    SetRevision(kDevice + "\\0000", "1.00");
    SetValue(kDevice + "\\0000", "AutoInsertNotification", REG_BINARY, {1});

    Win32Registry registry;
    const std::string key = AutoInsertDriveKey(kModel, "1.01");
    EXPECT_EQ(ReadAutoInsertNotification(registry, key), 1);
    EXPECT_TRUE(WriteAutoInsertNotification(registry, key, 0));
    EXPECT_EQ(ReadAutoInsertNotification(registry, key), 0);
    EXPECT_EQ(Flag(kDevice + "\\0001"), (std::pair<DWORD, std::vector<BYTE>>{REG_BINARY, {0}}));
    EXPECT_EQ(Flag(kDevice + "\\0000"), (std::pair<DWORD, std::vector<BYTE>>{REG_BINARY, {1}}));
}

TEST_F(AutoInsertRegistry, WhatCannotBeFoundOrReadGivesTwo) {
    Win32Registry registry;
    const std::string key = AutoInsertDriveKey(kModel, "1.00");
    // No device key.
    EXPECT_EQ(ReadAutoInsertNotification(registry, key), 2);
    EXPECT_FALSE(WriteAutoInsertNotification(registry, key, 1));
    // A device key without instances.
    SetValue(kDevice, nullptr, 0, {});
    EXPECT_EQ(ReadAutoInsertNotification(registry, key), 2);
    EXPECT_FALSE(WriteAutoInsertNotification(registry, key, 1));
    // An instance without "RevisionLevel" is no match, whatever its flag.
    SetValue(kDevice + "\\0000", "AutoInsertNotification", REG_BINARY, {1});
    EXPECT_EQ(ReadAutoInsertNotification(registry, key), 2);
    // A flag of two bytes does not fit the one-byte read.
    SetRevision(kDevice + "\\0000", "1.00");
    SetValue(kDevice + "\\0000", "AutoInsertNotification", REG_BINARY, {1, 0});
    EXPECT_EQ(ReadAutoInsertNotification(registry, key), 2);
    // Writing replaces it with one byte.
    EXPECT_TRUE(WriteAutoInsertNotification(registry, key, 1));
    EXPECT_EQ(ReadAutoInsertNotification(registry, key), 1);
}

}  // namespace
}  // namespace kfs
