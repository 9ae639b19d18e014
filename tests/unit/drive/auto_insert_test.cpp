#include "drive/auto_insert.h"

#include <gtest/gtest.h>

namespace kfs {
namespace {

// KEMO, four blanks, VRZ-3350A, seven blanks: the 24-character model name.
const std::string kModel = "KEMO    VRZ-3350A       ";
const std::string kDevice = "Enum\\SCSI\\KEMO____VRZ-3350A_______1";

TEST(AutoInsert, DeviceKeyIsTheModelAndFirstVersionCharacterWithUnderscores) {
    EXPECT_EQ(AutoInsertDeviceKeyName(AutoInsertDriveKey(kModel, "1.00")), kDevice);
}

TEST(AutoInsert, FindsTheInstanceByRevisionWhateverTheOrderOfNames) {
    for (bool newerFirst : {false, true}) {
        SCOPED_TRACE(newerFirst);
        MemoryRegistry registry;
        const std::string older = kDevice + (newerFirst ? "\\B" : "\\A");
        const std::string newer = kDevice + (newerFirst ? "\\A" : "\\B");
        if (newerFirst)
            registry.SetValue(newer, "RevisionLevel", MemoryRegistry::Text("1.01"));
        registry.SetValue(older, "RevisionLevel", MemoryRegistry::Text("1.00"));
        registry.SetValue(newer, "RevisionLevel", MemoryRegistry::Text("1.01"));
        registry.SetValue(older, "AutoInsertNotification", {0});
        registry.SetValue(newer, "AutoInsertNotification", {1});

        const std::string key = AutoInsertDriveKey(kModel, "1.01");
        EXPECT_EQ(ReadAutoInsertNotification(registry, key), 1);
        EXPECT_TRUE(WriteAutoInsertNotification(registry, key, 0));
        EXPECT_EQ(registry.FindKey(newer)->values["AutoInsertNotification"],
                  std::vector<std::uint8_t>{0});
        EXPECT_EQ(registry.FindKey(older)->values["AutoInsertNotification"],
                  std::vector<std::uint8_t>{0});
        EXPECT_EQ(ReadAutoInsertNotification(registry, AutoInsertDriveKey(kModel, "1.00")), 0);
        EXPECT_EQ(registry.OpenCount(), 0);
    }
}

TEST(AutoInsert, ReadGivesTheStoredByteOrTwo) {
    using Data = std::optional<std::vector<std::uint8_t>>;
    struct Case {
        const char* name;
        Data revision;  // nullopt: no "RevisionLevel" value
        Data flag;      // nullopt: no flag value
        std::uint8_t read;
        bool found;  // the instance key is found, so a write is stored
    };
    const std::vector<Case> cases = {
        {"off", MemoryRegistry::Text("1.00"), Data{{0}}, 0, true},
        {"on", MemoryRegistry::Text("1.00"), Data{{1}}, 1, true},
        {"other byte", MemoryRegistry::Text("1.00"), Data{{7}}, 7, true},
        {"two bytes do not fit", MemoryRegistry::Text("1.00"), Data{{1, 0}}, 2, true},
        {"no flag", MemoryRegistry::Text("1.00"), std::nullopt, 2, true},
        {"other revision", MemoryRegistry::Text("1.01"), Data{{1}}, 2, false},
        {"revision cut short", MemoryRegistry::Text("1.0"), Data{{1}}, 2, false},
        {"longer revision text, same four", MemoryRegistry::Text("1.00b"), Data{{1}}, 1, true},
        {"no revision", std::nullopt, Data{{1}}, 2, false},
        {"revision larger than its buffer", MemoryRegistry::Text("1.00 rev B"), Data{{1}}, 2,
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MemoryRegistry registry;
        const std::string instance = kDevice + "\\0000";
        registry.CreateKey(instance);
        if (c.revision)
            registry.SetValue(instance, "RevisionLevel", *c.revision);
        if (c.flag)
            registry.SetValue(instance, "AutoInsertNotification", *c.flag);
        const std::string key = AutoInsertDriveKey(kModel, "1.00");
        EXPECT_EQ(ReadAutoInsertNotification(registry, key), c.read);
        EXPECT_EQ(WriteAutoInsertNotification(registry, key, 1),
                  c.read != 2 || c.revision == MemoryRegistry::Text("1.00"));
        EXPECT_EQ(registry.OpenCount(), 0);
    }
}

TEST(AutoInsert, MissingOrUnusableKeysGiveTwoAndRefuseWrites) {
    const std::string key = AutoInsertDriveKey(kModel, "1.00");
    struct Case {
        const char* name;
        void (*setUp)(MemoryRegistry&);
    };
    const std::vector<Case> cases = {
        {"no device key", [](MemoryRegistry&) {}},
        {"device key without instances", [](MemoryRegistry& r) { r.CreateKey(kDevice); }},
        {"instance cannot be opened",
         [](MemoryRegistry& r) {
             r.SetValue(kDevice + "\\0000", "RevisionLevel", MemoryRegistry::Text("1.00"));
             r.FindKey(kDevice + "\\0000")->openFails = true;
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MemoryRegistry registry;
        c.setUp(registry);
        EXPECT_EQ(ReadAutoInsertNotification(registry, key), kAutoInsertUnknown);
        EXPECT_FALSE(WriteAutoInsertNotification(registry, key, 0));
        EXPECT_EQ(registry.OpenCount(), 0);
    }

    MemoryRegistry readOnly;
    readOnly.SetValue(kDevice + "\\0000", "RevisionLevel", MemoryRegistry::Text("1.00"));
    readOnly.SetValue(kDevice + "\\0000", "AutoInsertNotification", {1});
    readOnly.FindKey(kDevice + "\\0000")->readOnly = true;
    EXPECT_FALSE(WriteAutoInsertNotification(readOnly, key, 0));
    EXPECT_EQ(ReadAutoInsertNotification(readOnly, key), 1);
    EXPECT_EQ(readOnly.OpenCount(), 0);
}

}  // namespace
}  // namespace kfs
