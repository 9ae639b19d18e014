// TAtapiImp against a fake of the Windows calls: the pass-through request bytes, the NT error
// tolerance, the reopen rule, the ASPI request blocks, completion and abort, and both scans.
#include "drive/win32/atapi_imp.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "drive/win32/aspi.h"
#include "drive/win32/win32_api.h"

namespace kfs {
namespace {

using Bytes = std::vector<std::uint8_t>;

std::uint32_t Le32(const std::uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
std::uint16_t Le16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
// A pointer field as the request block holds it: 4 bytes in the 32-bit program, 8 in the 64-bit
// build of the tests.
std::uintptr_t PointerAt(const std::uint8_t* p) {
    std::uintptr_t value = 0;
    for (std::size_t i = 0; i < sizeof value; ++i)
        value |= static_cast<std::uintptr_t>(p[i]) << (8 * i);
    return value;
}
std::uintptr_t Address(const void* p) {
    return reinterpret_cast<std::uintptr_t>(p);
}
// Byte offsets of the request fields the tests read. The 32-bit program's are the published
// layouts; in the 64-bit build the pointers take 8 bytes (and the pass-through structure aligns
// its buffer pointer to 8), which moves every field after the first pointer.
struct PassThroughOffsets {
    std::size_t length, dataBuffer, senseInfoOffset, cdb, sense, size;
};
struct ExecOffsets {
    std::size_t senseLen, postProc, reserved2, cdb, sense, size;
};
#if defined(_WIN64)
constexpr PassThroughOffsets kPt = {56, 24, 32, 36, 60, 96};
constexpr ExecOffsets kSrb = {24, 28, 36, 56, 72, 92};
#else
constexpr PassThroughOffsets kPt = {44, 20, 24, 28, 48, 80};
constexpr ExecOffsets kSrb = {20, 24, 28, 48, 64, 84};
#endif
static_assert(sizeof(PassThroughRequest) == kPt.size);
static_assert(sizeof(aspi::SRB_ExecSCSICmd) == kSrb.size);

bool AllZero(const std::uint8_t* p, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        if (p[i] != 0)
            return false;
    return true;
}

// A 50-byte INQUIRY reply with vendor/product at 8 and revision at 32.
Bytes InquiryReply(const std::string& vendorProduct, const std::string& revision) {
    Bytes reply(50, 0);
    reply[0] = 0x05;
    std::memcpy(reply.data() + 8, vendorProduct.data(),
                std::min<std::size_t>(24, vendorProduct.size()));
    std::memcpy(reply.data() + 32, revision.data(), std::min<std::size_t>(4, revision.size()));
    return reply;
}

class FakeWin32;
FakeWin32* g_fake = nullptr;
DWORD __cdecl FakeGetSupportInfo();
DWORD __cdecl FakeSendCommand(void* srb);

class FakeWin32 final : public Win32Api {
  public:
    FakeWin32() { g_fake = this; }
    ~FakeWin32() override { g_fake = nullptr; }

    // Version.
    DWORD platform = VER_PLATFORM_WIN32_NT;
    DWORD major = 5;
    DWORD minor = 1;
    DWORD versionSizeSeen = 0;

    // ASPI library.
    bool libraryPresent = true;
    bool exportsPresent = true;
    std::string loadedPath;
    int freeCalls = 0;
    std::vector<std::string> lines;

    // Volumes: drive type per letter, letters whose device cannot be opened, INQUIRY replies.
    std::map<char, UINT> driveTypes;
    std::set<char> unopenable;
    std::map<char, Bytes> inquiry;
    std::vector<std::string> roots;
    std::vector<std::string> opens;
    std::vector<std::string> closes;
    std::set<HANDLE> openHandles;

    struct Ioctl {
        std::string path;
        DWORD code;
        DWORD inSize;
        DWORD outSize;
        std::array<std::uint8_t, kPt.size> request;
    };
    std::vector<Ioctl> ioctls;
    BOOL ioctlResult = TRUE;
    DWORD lastError = 0;
    UCHAR scsiStatus = 0;
    Bytes systemSense;  // written into the request's sense buffer when scsiStatus != 0

    // ASPI devices.
    struct Device {
        std::uint8_t ha, target, lun, type;
        std::string text;  // INQUIRY bytes 8 to 35
        bool staysPending = false;
    };
    int adapters = 1;
    std::vector<Device> devices;
    std::vector<std::array<std::uint8_t, 12>> devTypeRequests;
    int dispatched = 0;
    struct Exec {
        std::array<std::uint8_t, kSrb.size> block;
        const void* address;
    };
    std::vector<Exec> execs;
    std::vector<aspi::SRB_Abort> aborts;
    std::uint8_t immediateStatus = aspi::SS_COMP;  // SS_PENDING: left to the event wait
    DWORD waitResult = WAIT_OBJECT_0;
    std::uint8_t statusOnSignal = aspi::SS_COMP;
    Bytes execSense;  // written into the sense area of every executed request
    bool eventFails = false;
    std::vector<DWORD> waits;
    int eventsCreated = 0;
    aspi::SRB_ExecSCSICmd* pending = nullptr;

    DWORD tick = 0;

    BOOL GetVersionExA(OSVERSIONINFOEXA* info) override {
        versionSizeSeen = info->dwOSVersionInfoSize;
        info->dwPlatformId = platform;
        info->dwMajorVersion = platform == VER_PLATFORM_WIN32_NT ? major : 4;
        info->dwMinorVersion = minor;
        return TRUE;
    }
    UINT GetSystemDirectoryA(LPSTR buffer, UINT size) override {
        const char dir[] = "C:\\windows\\system32";
        if (size < sizeof dir)
            return sizeof dir;
        std::memcpy(buffer, dir, sizeof dir);
        return sizeof dir - 1;
    }
    HMODULE LoadLibraryA(LPCSTR path) override {
        loadedPath = path;
        return libraryPresent ? reinterpret_cast<HMODULE>(0x70000000) : nullptr;
    }
    FARPROC GetProcAddress(HMODULE, LPCSTR name) override {
        if (!exportsPresent)
            return nullptr;
        const std::string n = name;
        if (n == "GetASPI32SupportInfo")
            return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(&FakeGetSupportInfo));
        if (n == "SendASPI32Command")
            return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(&FakeSendCommand));
        return nullptr;
    }
    BOOL FreeLibrary(HMODULE) override {
        ++freeCalls;
        return TRUE;
    }
    UINT GetDriveTypeA(LPCSTR root) override {
        roots.push_back(root);
        auto it = driveTypes.find(root[0]);
        return it == driveTypes.end() ? DRIVE_NO_ROOT_DIR : it->second;
    }
    HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD share, DWORD disposition,
                       DWORD flags) override {
        EXPECT_EQ(access, static_cast<DWORD>(GENERIC_READ | GENERIC_WRITE));
        EXPECT_EQ(share, static_cast<DWORD>(FILE_SHARE_READ | FILE_SHARE_WRITE));
        EXPECT_EQ(disposition, static_cast<DWORD>(OPEN_EXISTING));
        EXPECT_EQ(flags, 0u);
        opens.push_back(path);
        const std::string p = path;
        if (p.size() != 6 || p.compare(0, 4, "\\\\.\\") != 0 || unopenable.count(p[4]))
            return INVALID_HANDLE_VALUE;
        HANDLE h = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(0x100 + p[4]));
        EXPECT_EQ(openHandles.count(h), 0u) << "opened twice without a close: " << p;
        openHandles.insert(h);
        return h;
    }
    static std::string PathOf(HANDLE h) {
        const auto v = reinterpret_cast<std::uintptr_t>(h);
        if (v <= 0x100 || v > 0x100 + 'Z')
            return "?";
        return std::string("\\\\.\\") + static_cast<char>(v - 0x100) + ":";
    }
    BOOL CloseHandle(HANDLE h) override {
        const auto v = reinterpret_cast<std::uintptr_t>(h);
        if (v >= 0x5000 && v < 0x6000) {  // events
            openEvents.erase(h);
            return TRUE;
        }
        EXPECT_EQ(openHandles.count(h), 1u) << "closing a handle that is not open";
        openHandles.erase(h);
        closes.push_back(PathOf(h));
        return TRUE;
    }
    BOOL DeviceIoControl(HANDLE device, DWORD code, void* in, DWORD inSize, void* out,
                         DWORD outSize, DWORD* returned) override {
        Ioctl call{
            openHandles.count(device) ? PathOf(device) : "invalid", code, inSize, outSize, {}};
        std::memcpy(call.request.data(), in, kPt.size);
        ioctls.push_back(call);
        EXPECT_EQ(in, out);
        auto* request = static_cast<PassThroughRequest*>(out);
        // Answer an INQUIRY from the per-letter replies.
        if (request->sptd.Cdb[0] == 0x12 && call.path.size() == 6 && inquiry.count(call.path[4])) {
            const Bytes& reply = inquiry[call.path[4]];
            std::memcpy(request->sptd.DataBuffer, reply.data(),
                        std::min<std::size_t>(reply.size(), request->sptd.DataTransferLength));
            *returned = kPt.size;
            return TRUE;
        }
        request->sptd.ScsiStatus = scsiStatus;
        if (scsiStatus != 0)
            std::memcpy(request->sense, systemSense.data(), systemSense.size());
        *returned = kPt.size;
        return ioctlResult;
    }
    DWORD GetLastError() override { return lastError; }
    std::set<HANDLE> openEvents;
    HANDLE CreateEventA(BOOL manualReset, BOOL initialState) override {
        EXPECT_TRUE(manualReset);
        EXPECT_FALSE(initialState);
        if (eventFails)
            return nullptr;
        HANDLE h = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(0x5000 + ++eventsCreated));
        openEvents.insert(h);
        return h;
    }
    DWORD WaitForSingleObject(HANDLE h, DWORD ms) override {
        EXPECT_EQ(openEvents.count(h), 1u);
        waits.push_back(ms);
        if (waitResult == WAIT_OBJECT_0 && pending != nullptr)
            pending->SRB_Status = statusOnSignal;
        return waitResult;
    }
    DWORD GetTickCount() override { return ++tick; }
    void DispatchOnePendingMessage() override { ++dispatched; }
    void WriteLine(const char* text) override { lines.push_back(text); }

    DWORD SupportInfo() { return (aspi::SS_COMP << 8) | adapters; }

    const Device* Find(std::uint8_t ha, std::uint8_t target, std::uint8_t lun) const {
        for (const Device& d : devices)
            if (d.ha == ha && d.target == target && d.lun == lun)
                return &d;
        return nullptr;
    }

    DWORD Send(void* srb) {
        auto* header = static_cast<aspi::SRB_Header*>(srb);
        switch (header->SRB_Cmd) {
            case aspi::SC_GET_DEV_TYPE: {
                auto* block = static_cast<aspi::SRB_GDEVBlock*>(srb);
                std::array<std::uint8_t, 12> copy;
                std::memcpy(copy.data(), block, 12);
                devTypeRequests.push_back(copy);
                const Device* d = Find(block->SRB_HaId, block->SRB_Target, block->SRB_Lun);
                if (d != nullptr && d->staysPending)
                    return aspi::SS_PENDING;
                block->SRB_Status = d != nullptr ? aspi::SS_COMP : aspi::SS_NO_DEVICE;
                if (d != nullptr)
                    block->SRB_DeviceType = d->type;
                return block->SRB_Status;
            }
            case aspi::SC_EXEC_SCSI_CMD: {
                auto* block = static_cast<aspi::SRB_ExecSCSICmd*>(srb);
                Exec e{{}, srb};
                std::memcpy(e.block.data(), block, kSrb.size);
                execs.push_back(e);
                const Device* d = Find(block->SRB_HaId, block->SRB_Target, block->SRB_Lun);
                if (block->CDBByte[0] == 0x12 && d != nullptr) {
                    std::memcpy(block->SRB_BufPointer + 8, d->text.data(),
                                std::min<std::size_t>(d->text.size(), block->SRB_BufLen - 8));
                }
                if (!execSense.empty())
                    std::memcpy(block->SenseArea, execSense.data(), execSense.size());
                block->SRB_Status = immediateStatus;
                pending = block;
                return immediateStatus;
            }
            case aspi::SC_ABORT_SRB:
                aborts.push_back(*static_cast<aspi::SRB_Abort*>(srb));
                return aspi::SS_COMP;
        }
        return aspi::SS_INVALID_CMD;
    }
};

DWORD __cdecl FakeGetSupportInfo() {
    return g_fake->SupportInfo();
}
DWORD __cdecl FakeSendCommand(void* srb) {
    return g_fake->Send(srb);
}

constexpr Cdb kTestUnitReady = {0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
constexpr Cdb kVendorPage = {0x5A, 0x00, 0x38, 0x4B, 0x45, 0x10, 0, 0, 0, 0x04, 0, 0};

// An NT fake with CD-ROM drives on the given letters.
void AddCdroms(FakeWin32& fake, const std::string& letters) {
    for (char l : letters) {
        fake.driveTypes[l] = DRIVE_CDROM;
        fake.inquiry[l] = InquiryReply(std::string("KEMO    DRIVE-") + l, "1.00");
    }
}

// ---------------------------------------------------------------------------------------------
// Version decision.

TEST(AtapiImpVersion, BackEndFollowsThePlatform) {
    struct Case {
        DWORD platform, major, minor;
        bool passThrough;
    };
    const Case cases[] = {
        {VER_PLATFORM_WIN32_NT, 5, 0, true},         // 2000
        {VER_PLATFORM_WIN32_NT, 5, 1, true},         // XP
        {VER_PLATFORM_WIN32_NT, 6, 2, true},         // 8, or a later one without a manifest
        {VER_PLATFORM_WIN32_NT, 10, 0, true},        // 10, 11
        {VER_PLATFORM_WIN32_WINDOWS, 4, 10, false},  // 98
        {0, 0, 0, false},                            // structure rejected
    };
    for (const Case& c : cases) {
        FakeWin32 fake;
        fake.platform = c.platform;
        fake.major = c.major;
        fake.minor = c.minor;
        fake.libraryPresent = false;
        TAtapiImp imp(fake);
        SCOPED_TRACE(testing::Message()
                     << "platform " << c.platform << " version " << c.major << "." << c.minor);
        EXPECT_EQ(fake.versionSizeSeen, 156u);
        EXPECT_EQ(imp.UsesPassThrough(), c.passThrough);
        // Only the ASPI back end looks for the library.
        EXPECT_EQ(fake.loadedPath.empty(), c.passThrough);
    }
}

// ---------------------------------------------------------------------------------------------
// Pass-through back end.

TEST(AtapiImpPassThrough, RequestBytesForEachDirection) {
    struct Case {
        std::uint8_t direction;
        std::uint8_t dataIn;
    };
    const Case cases[] = {{0x08, 1}, {0x10, 0}, {0x00, 2}, {0x04, 2}, {0x18, 2}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "direction " << int(c.direction));
        FakeWin32 fake;
        AddCdroms(fake, "E");
        TAtapiImp imp(fake);
        ASSERT_EQ(imp.DriveCount(), 1);
        fake.ioctls.clear();
        std::uint8_t buffer[0x40] = {};
        ASSERT_TRUE(imp.SendPacketCommand(0, kVendorPage, buffer, 0x1234, c.direction));
        ASSERT_EQ(fake.ioctls.size(), 1u);
        const FakeWin32::Ioctl& call = fake.ioctls[0];
        EXPECT_EQ(call.path, "\\\\.\\E:");
        EXPECT_EQ(call.code, 0x4D014u);
        EXPECT_EQ(call.inSize, kPt.size);
        EXPECT_EQ(call.outSize, kPt.size);
        const std::uint8_t* r = call.request.data();
        EXPECT_EQ(Le16(r + 0), kPt.length);  // Length
        EXPECT_TRUE(AllZero(r + 2, 4));      // ScsiStatus, PathId, TargetId, Lun
        EXPECT_EQ(r[6], 12);                 // CdbLength
        EXPECT_EQ(r[7], 24);                 // SenseInfoLength
        EXPECT_EQ(r[8], c.dataIn);           // DataIn
        EXPECT_TRUE(AllZero(r + 9, 3));      // alignment
        EXPECT_EQ(Le32(r + 12), 0x1234u);    // DataTransferLength
        EXPECT_EQ(Le32(r + 16), 20u);        // TimeOutValue, seconds
        EXPECT_EQ(PointerAt(r + kPt.dataBuffer), Address(buffer));
        EXPECT_EQ(Le32(r + kPt.senseInfoOffset), kPt.sense);
        EXPECT_EQ(0, std::memcmp(r + kPt.cdb, kVendorPage.data(), 12));
        // CDB 12-15, filler, sense buffer.
        EXPECT_TRUE(AllZero(r + kPt.cdb + 12, kPt.size - kPt.cdb - 12));
    }
}

TEST(AtapiImpPassThrough, FailedCallJudgedByItsErrorOnEveryNtVersion) {
    struct Case {
        DWORD major, minor;
        BOOL ioctlOk;
        DWORD error;
        UCHAR scsiStatus;
        std::uint8_t status;  // ExecCdb's result
    };
    // The two errors after which the request reached the drive are judged by its SCSI status;
    // every other failed call is a failure whatever the status field holds.
    const DWORD versions[][2] = {{4, 0}, {5, 0}, {5, 1}, {5, 2}, {6, 1}, {6, 2}, {6, 3}, {10, 0}};
    std::vector<Case> cases;
    for (const auto& v : versions) {
        const DWORD ma = v[0], mi = v[1];
        cases.push_back({ma, mi, FALSE, ERROR_SEM_TIMEOUT, 0, 1});  // past the device time-out
        cases.push_back({ma, mi, FALSE, ERROR_SEM_TIMEOUT, 2, 2});
        cases.push_back({ma, mi, FALSE, ERROR_IO_DEVICE, 0, 1});
        cases.push_back({ma, mi, FALSE, ERROR_IO_DEVICE, 2, 2});
        cases.push_back({ma, mi, FALSE, ERROR_ACCESS_DENIED, 0, 0});
        cases.push_back({ma, mi, FALSE, ERROR_INVALID_HANDLE, 0, 0});
        cases.push_back({ma, mi, FALSE, ERROR_INVALID_FUNCTION, 0, 0});
        cases.push_back({ma, mi, FALSE, ERROR_DEV_NOT_EXIST, 0, 0});  // device gone
        cases.push_back({ma, mi, FALSE, ERROR_ACCESS_DENIED, 2, 0});  // stale status ignored
        cases.push_back({ma, mi, TRUE, 0, 0, 1});
        cases.push_back({ma, mi, TRUE, 0, 2, 2});  // CHECK CONDITION
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "NT " << c.major << "." << c.minor << " ok " << c.ioctlOk
                                        << " error " << c.error << " scsi " << int(c.scsiStatus));
        FakeWin32 fake;
        fake.major = c.major;
        fake.minor = c.minor;
        AddCdroms(fake, "D");
        TAtapiImp imp(fake);
        fake.ioctlResult = c.ioctlOk;
        fake.lastError = c.error;
        fake.scsiStatus = c.scsiStatus;
        // Sense as the system writes it, with filemark, end-of-medium and ILI bits in byte 2.
        fake.systemSense = {0x70, 0, 0xE5, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x24, 0x01, 0, 0, 0, 0};
        EXPECT_EQ(imp.ExecCdb(kTestUnitReady.data(), nullptr, 0, 0), c.status);
        EXPECT_EQ(imp.SendPacketCommand(0, kTestUnitReady, nullptr, 0, 0).good(), c.status == 1);
        if (c.scsiStatus != 0 && c.status == 2) {
            const SenseData sense = imp.GetSenseData();
            EXPECT_EQ(sense[2], 0xE5);  // unmasked
            EXPECT_EQ(sense[12], 0x24);
            EXPECT_EQ(sense[13], 0x01);
        }
    }
}

// What the layers above learn of a failed command: the Win32 error of a call that failed, the
// sense of a check condition, and whether the call's own failure left that in doubt.
TEST(AtapiImpPassThrough, ResultCarriesTheCause) {
    using Kind = CommandResult::CodeKind;
    using Outcome = CommandResult::Outcome;
    struct Case {
        BOOL ioctlOk;
        DWORD error;
        UCHAR scsiStatus;
        Outcome outcome;
        Kind kind;
        std::uint32_t code;
        bool certain;
    };
    const Case cases[] = {
        {TRUE, 0, 0, Outcome::Good, Kind::None, 0, true},
        {TRUE, 0, 2, Outcome::CheckCondition, Kind::None, 0, true},
        {TRUE, 0, 8, Outcome::Error, Kind::ScsiStatus, 8, true},
        {FALSE, ERROR_SEM_TIMEOUT, 2, Outcome::CheckCondition, Kind::None, 0, false},
        {FALSE, ERROR_SEM_TIMEOUT, 0, Outcome::Good, Kind::None, 0, false},
        {FALSE, ERROR_INVALID_FUNCTION, 0, Outcome::Error, Kind::Win32Error, ERROR_INVALID_FUNCTION,
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "ok " << c.ioctlOk << " error " << c.error << " scsi "
                                        << int(c.scsiStatus));
        FakeWin32 fake;
        fake.minor = 1;  // Windows XP
        AddCdroms(fake, "D");
        TAtapiImp imp(fake);
        fake.ioctlResult = c.ioctlOk;
        fake.lastError = c.error;
        fake.scsiStatus = c.scsiStatus;
        fake.systemSense = {0x70, 0, 0x05, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x24, 0x00, 0, 0, 0, 0};
        const CommandResult r = imp.SendPacketCommand(0, kTestUnitReady, nullptr, 0, 0);
        EXPECT_EQ(r.outcome, c.outcome);
        EXPECT_EQ(r.kind, c.kind);
        EXPECT_EQ(r.code, c.code);
        EXPECT_EQ(r.certain, c.certain);
        if (c.outcome == Outcome::CheckCondition) {
            EXPECT_EQ(r.sense[12], 0x24);
        }
    }
}

TEST(AtapiImpPassThrough, DeviceReopenedOnlyWhenTheDriveChanges) {
    FakeWin32 fake;
    AddCdroms(fake, "DF");
    TAtapiImp imp(fake);
    ASSERT_EQ(imp.DriveCount(), 2);
    // The scan opens every drive in turn; drive 0 is opened again at the end.
    EXPECT_EQ(fake.opens, (std::vector<std::string>{"\\\\.\\D:", "\\\\.\\F:", "\\\\.\\D:"}));
    fake.opens.clear();
    fake.closes.clear();
    fake.ioctls.clear();

    const int sequence[] = {0, 0, 1, 1, 0, 1};
    for (int index : sequence)
        EXPECT_TRUE(
            imp.SendPacketCommand(static_cast<DriveIndex>(index), kTestUnitReady, nullptr, 0, 0));
    EXPECT_EQ(fake.opens, (std::vector<std::string>{"\\\\.\\F:", "\\\\.\\D:", "\\\\.\\F:"}));
    EXPECT_EQ(fake.closes, (std::vector<std::string>{"\\\\.\\D:", "\\\\.\\F:", "\\\\.\\D:"}));
    std::vector<std::string> targets;
    for (const auto& call : fake.ioctls) targets.push_back(call.path);
    EXPECT_EQ(targets, (std::vector<std::string>{"\\\\.\\D:", "\\\\.\\D:", "\\\\.\\F:", "\\\\.\\F:",
                                                 "\\\\.\\D:", "\\\\.\\F:"}));
}

TEST(AtapiImpPassThrough, ScanListsOpenableCdromLettersInOrderUpToTwenty) {
    struct Case {
        const char* name;
        std::string cdroms;
        std::string unopenable;
        std::string expected;  // letters of the table entries, in order
    };
    const Case cases[] = {
        {"mixed", "GDEZ", "E", "DG"},  // Z is never examined, E cannot be opened
        {"none", "", "", ""},
        {"every letter", "ABCDEFGHIJKLMNOPQRSTUVWXYZ", "", "ABCDEFGHIJKLMNOPQRST"},
        {"bound after gaps", "ABCDEFGHIJKLMNOPQRSTUVWXYZ", "BC", "ADEFGHIJKLMNOPQRSTUV"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeWin32 fake;
        fake.driveTypes['C'] = DRIVE_FIXED;
        AddCdroms(fake, c.cdroms);
        for (char l : c.unopenable) fake.unopenable.insert(l);
        auto imp = std::make_unique<TAtapiImp>(fake);
        ASSERT_EQ(imp->DriveCount(), static_cast<int>(c.expected.size()));
        for (std::size_t i = 0; i < c.expected.size(); ++i) {
            const TAtapiImp::DriveHandle& e = imp->Entry(static_cast<int>(i));
            const char l = c.expected[i];
            EXPECT_EQ(std::string(e.path, 12),
                      std::string("\\\\.\\") + l + ":" + std::string(6, '\0'));
            EXPECT_EQ(std::string(e.identification), std::string("KEMO    DRIVE-") + l);
            EXPECT_EQ(std::string(e.revision), "1.00");
        }
        for (const std::string& root : fake.roots) EXPECT_NE(root, "Z:\\");
        // Every scan INQUIRY asks for 50 bytes.
        for (const auto& call : fake.ioctls) {
            EXPECT_EQ(0, std::memcmp(call.request.data() + kPt.cdb,
                                     "\x12\x00\x00\x00\x32\x00\x00\x00\x00\x00\x00\x00", 12));
            EXPECT_EQ(Le32(call.request.data() + 12), 50u);
        }
        // The index one past the table fails without a command.
        fake.ioctls.clear();
        EXPECT_FALSE(imp->SendPacketCommand(static_cast<DriveIndex>(c.expected.size()),
                                            kTestUnitReady, nullptr, 0, 0));
        EXPECT_FALSE(imp->IsValidDriveIndex(static_cast<int>(c.expected.size())));
        EXPECT_TRUE(fake.ioctls.empty());
        imp.reset();
        EXPECT_TRUE(fake.openHandles.empty()) << "device left open at destruction";
    }
}

TEST(AtapiImpPassThrough, IdentificationStopsAtZeroByte) {
    FakeWin32 fake;
    fake.driveTypes['D'] = DRIVE_CDROM;
    Bytes reply = InquiryReply("KEMO    VRZ-3350A       ", "1.0");
    reply[19] = 0;  // product cut after "VRZ"
    fake.inquiry['D'] = reply;
    TAtapiImp imp(fake);
    ASSERT_EQ(imp.DriveCount(), 1);
    EXPECT_EQ(std::string(imp.Entry(0).identification), "KEMO    VRZ");
    EXPECT_TRUE(
        AllZero(reinterpret_cast<const std::uint8_t*>(imp.Entry(0).identification) + 11, 14));
    EXPECT_EQ(std::string(imp.Entry(0).revision), "1.0");
}

// ---------------------------------------------------------------------------------------------
// ASPI back end.

class AtapiImpAspi : public testing::Test {
  protected:
    AtapiImpAspi() {
        fake.platform = VER_PLATFORM_WIN32_WINDOWS;
        fake.minor = 10;
    }
    FakeWin32 fake;
};

TEST_F(AtapiImpAspi, LibraryLoadedFromSystemDirectoryOrReportedMissing) {
    struct Case {
        bool present, exports;
        int drives;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {true, true, 1, {}},
        {false, true, 0, {"WNASPI32.DLL not found"}},
        {true, false, 0, {}},  // a DLL without the ASPI entry points is not used
    };
    fake.devices = {{0, 0, 0, aspi::DTYPE_CDROM, "KEMO    VRZ-3372BL      1.00"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "present " << c.present << " exports " << c.exports);
        fake.libraryPresent = c.present;
        fake.exportsPresent = c.exports;
        fake.lines.clear();
        fake.freeCalls = 0;
        fake.execs.clear();
        {
            TAtapiImp imp(fake);
            EXPECT_EQ(fake.loadedPath, "C:\\windows\\system32\\WNASPI32.DLL");
            EXPECT_EQ(fake.lines, c.lines);
            EXPECT_EQ(imp.DriveCount(), c.drives);
            EXPECT_EQ(imp.SendPacketCommand(0, kTestUnitReady, nullptr, 0, 0).good(), c.drives > 0);
            if (c.drives == 0) {
                EXPECT_TRUE(fake.execs.empty());
            }
        }
        // Unloaded exactly once, whether it was used or refused.
        EXPECT_EQ(fake.freeCalls, c.present ? 1 : 0);
    }
}

TEST_F(AtapiImpAspi, ScanListsCdromsInAdapterTargetLunOrder) {
    fake.adapters = 2;
    fake.devices = {
        {1, 0, 0, aspi::DTYPE_CDROM, "KEMO    SECOND-ADAPTER  2.00"},
        {0, 3, 1, aspi::DTYPE_CDROM, "KEMO    T3-LUN1         1.01"},
        {0, 3, 0, aspi::DTYPE_CDROM, "KEMO    T3-LUN0         1.00"},
        {0, 1, 0, aspi::DTYPE_DASD, "DISK"},
        {0, 5, 2, aspi::DTYPE_CDROM, "NEVER ANSWERS", true},
        {0, 6, 0, aspi::DTYPE_CDROM, "KEMO    T6              1.02"},
        {2, 0, 0, aspi::DTYPE_CDROM, "THIRD ADAPTER IS NOT THERE"},
    };
    TAtapiImp imp(fake);
    struct Expected {
        std::uint8_t ha, target, lun;
        const char* text;
    };
    const Expected expected[] = {
        {0, 3, 0, "KEMO    T3-LUN0         1.00"},
        {0, 3, 1, "KEMO    T3-LUN1         1.01"},
        {0, 6, 0, "KEMO    T6              1.02"},
        {1, 0, 0, "KEMO    SECOND-ADAPTER  2.00"},
    };
    ASSERT_EQ(imp.DriveCount(), 4);
    for (int i = 0; i < 4; ++i) {
        const TAtapiImp::DriveHandle& e = imp.Entry(i);
        EXPECT_EQ(e.hostAdapter, expected[i].ha);
        EXPECT_EQ(e.target, expected[i].target);
        EXPECT_EQ(e.lun, expected[i].lun);
        EXPECT_EQ(std::string(e.identification), expected[i].text);
    }
    // Every address of both adapters is asked once, LUN innermost, with clean blocks.
    ASSERT_EQ(fake.devTypeRequests.size(), 2u * 8 * 8);
    for (std::size_t i = 0; i < fake.devTypeRequests.size(); ++i) {
        const auto& b = fake.devTypeRequests[i];
        EXPECT_EQ(b[0], aspi::SC_GET_DEV_TYPE);
        EXPECT_EQ(b[2], i / 64);
        EXPECT_EQ(b[3], 0);  // flags
        EXPECT_TRUE(AllZero(b.data() + 4, 4));
        EXPECT_EQ(b[8], (i / 8) % 8);
        EXPECT_EQ(b[9], i % 8);
        EXPECT_EQ(b[11], 0);
    }
    // The device that stays pending was waited for, with messages dispatched, for a bounded time.
    EXPECT_GT(fake.dispatched, 0);
    EXPECT_LE(fake.tick, TAtapiImp::kDeviceTypeWaitMs + 200);
    // One INQUIRY (36 bytes, data in) per CD-ROM found.
    ASSERT_EQ(fake.execs.size(), 4u);
    for (const auto& e : fake.execs) {
        EXPECT_EQ(0, std::memcmp(e.block.data() + kSrb.cdb,
                                 "\x12\x00\x00\x00\x24\x00\x00\x00\x00\x00\x00\x00", 12));
        EXPECT_EQ(Le32(e.block.data() + 12), 36u);
        EXPECT_EQ(e.block[3], 0x48);
    }
    // Commands go to the addressed drive.
    fake.execs.clear();
    EXPECT_TRUE(imp.SendPacketCommand(3, kTestUnitReady, nullptr, 0, 0));
    EXPECT_TRUE(imp.SendPacketCommand(1, kTestUnitReady, nullptr, 0, 0));
    ASSERT_EQ(fake.execs.size(), 2u);
    EXPECT_EQ(fake.execs[0].block[2], 1);
    EXPECT_EQ(fake.execs[0].block[8], 0);
    EXPECT_EQ(fake.execs[1].block[2], 0);
    EXPECT_EQ(fake.execs[1].block[8], 3);
    EXPECT_EQ(fake.execs[1].block[9], 1);
}

TEST_F(AtapiImpAspi, ScanStopsAtTwentyDrives) {
    fake.adapters = 1;
    for (std::uint8_t t = 0; t < 8; ++t)
        for (std::uint8_t l = 0; l < 8; ++l)
            fake.devices.push_back({0, t, l, aspi::DTYPE_CDROM, "X"});
    TAtapiImp imp(fake);
    EXPECT_EQ(imp.DriveCount(), 20);
    EXPECT_EQ(fake.devTypeRequests.size(), 20u);
    EXPECT_EQ(imp.Entry(19).target, 2);
    EXPECT_EQ(imp.Entry(19).lun, 3);
    EXPECT_FALSE(imp.SendPacketCommand(20, kTestUnitReady, nullptr, 0, 0));
}

TEST_F(AtapiImpAspi, RequestBlockContents) {
    struct Case {
        std::uint8_t direction, flags;
    };
    const Case cases[] = {{0x08, 0x48}, {0x10, 0x50}, {0x00, 0x40}, {0x04, 0x40}, {0x01, 0x40}};
    fake.devices = {{0, 0, 0, aspi::DTYPE_CDROM, "A"}, {1, 2, 3, aspi::DTYPE_CDROM, "B"}};
    fake.adapters = 2;
    TAtapiImp imp(fake);
    ASSERT_EQ(imp.DriveCount(), 2);
    const void* block = nullptr;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "direction " << int(c.direction));
        // The previous command left sense data behind; the next request must not carry it.
        fake.execSense.assign(18, 0xAA);
        ASSERT_TRUE(imp.SendPacketCommand(1, kTestUnitReady, nullptr, 0, 0));
        fake.execSense.clear();
        fake.execs.clear();
        std::uint8_t buffer[32];
        ASSERT_TRUE(imp.SendPacketCommand(1, kVendorPage, buffer, 20, c.direction));
        ASSERT_EQ(fake.execs.size(), 1u);
        const std::uint8_t* b = fake.execs[0].block.data();
        EXPECT_EQ(b[0], aspi::SC_EXEC_SCSI_CMD);
        EXPECT_EQ(b[2], 1);  // host adapter
        EXPECT_EQ(b[3], c.flags);
        EXPECT_TRUE(AllZero(b + 4, 4));   // SRB_Hdr_Rsvd
        EXPECT_EQ(b[8], 2);               // target
        EXPECT_EQ(b[9], 3);               // LUN
        EXPECT_TRUE(AllZero(b + 10, 2));  // SRB_Rsvd1
        EXPECT_EQ(Le32(b + 12), 20u);
        EXPECT_EQ(PointerAt(b + 16), Address(buffer));
        EXPECT_EQ(b[kSrb.senseLen], 18);      // sense length
        EXPECT_EQ(b[kSrb.senseLen + 1], 12);  // CDB length
        // The command's own event.
        EXPECT_EQ(PointerAt(b + kSrb.postProc), 0x5000u + fake.eventsCreated);
        EXPECT_TRUE(AllZero(b + kSrb.reserved2, 20));  // SRB_Rsvd2
        EXPECT_EQ(0, std::memcmp(b + kSrb.cdb, kVendorPage.data(), 12));
        EXPECT_TRUE(AllZero(b + kSrb.cdb + 12, 4));
        EXPECT_TRUE(AllZero(b + kSrb.sense, 18));  // sense cleared before sending
        // One block serves every command.
        if (block == nullptr)
            block = fake.execs[0].address;
        EXPECT_EQ(fake.execs[0].address, block);
        EXPECT_TRUE(fake.openEvents.empty());
    }
}

TEST_F(AtapiImpAspi, CompletionWaitAndAbort) {
    struct Case {
        const char* name;
        std::uint8_t immediate;
        DWORD wait;
        std::uint8_t onSignal;
        std::uint8_t status;
        bool waits, aborts;
    };
    const Case cases[] = {
        {"done at once", aspi::SS_COMP, 0, 0, 1, false, false},
        {"rejected at once", aspi::SS_INVALID_CMD, 0, 0, 0x80, false, false},
        {"signalled, good", aspi::SS_PENDING, WAIT_OBJECT_0, aspi::SS_COMP, 1, true, false},
        {"signalled, error", aspi::SS_PENDING, WAIT_OBJECT_0, aspi::SS_ERR, 4, true, false},
        {"time-out", aspi::SS_PENDING, WAIT_TIMEOUT, 0, 4, true, true},
        {"wait failed", aspi::SS_PENDING, WAIT_FAILED, 0, 4, true, true},
        {"abandoned", aspi::SS_PENDING, WAIT_ABANDONED, 0, 4, true, false},
    };
    fake.devices = {{0, 0, 0, aspi::DTYPE_CDROM, "A"}, {0, 4, 0, aspi::DTYPE_CDROM, "B"}};
    fake.adapters = 1;
    TAtapiImp imp(fake);
    ASSERT_EQ(imp.DriveCount(), 2);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fake.immediateStatus = c.immediate;
        fake.waitResult = c.wait;
        fake.statusOnSignal = c.onSignal;
        fake.waits.clear();
        fake.aborts.clear();
        fake.execs.clear();
        EXPECT_EQ(imp.ExecCdb(kTestUnitReady.data(), nullptr, 0, 0), c.status);
        EXPECT_EQ(fake.waits, c.waits ? std::vector<DWORD>{60000} : std::vector<DWORD>{});
        EXPECT_TRUE(fake.openEvents.empty()) << "event not closed";
        ASSERT_EQ(fake.aborts.size(), c.aborts ? 1u : 0u);
        if (c.aborts) {
            const aspi::SRB_Abort& a = fake.aborts[0];
            EXPECT_EQ(a.SRB_Cmd, aspi::SC_ABORT_SRB);
            EXPECT_EQ(a.SRB_HaId, 0);
            EXPECT_EQ(a.SRB_Flags, 0);
            EXPECT_EQ(a.SRB_Hdr_Rsvd, 0u);
            EXPECT_EQ(a.SRB_ToAbort, fake.execs[0].address);
        }
    }
    // A command whose event cannot be created is not sent.
    fake.eventFails = true;
    fake.execs.clear();
    EXPECT_EQ(imp.ExecCdb(kTestUnitReady.data(), nullptr, 0, 0), aspi::SS_ERR);
    EXPECT_FALSE(imp.SendPacketCommand(1, kTestUnitReady, nullptr, 0, 0));
    EXPECT_TRUE(fake.execs.empty());
}

TEST_F(AtapiImpAspi, SenseDataOfTheLastCommandKeepsByteTwo) {
    fake.devices = {{0, 0, 0, aspi::DTYPE_CDROM, "A"}};
    TAtapiImp imp(fake);
    fake.immediateStatus = aspi::SS_ERR;
    fake.execSense = {0x70, 0, 0xE2, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x3A, 0x02, 0, 0, 0, 0x77};
    EXPECT_FALSE(imp.SendPacketCommand(0, kTestUnitReady, nullptr, 0, 0));
    const SenseData sense = imp.GetSenseData();
    EXPECT_EQ(Bytes(sense.begin(), sense.end()), fake.execSense);
}

}  // namespace
}  // namespace kfs
