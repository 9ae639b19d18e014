#include "drive/linux/sg_transport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <set>

namespace kfs {
namespace {

TEST(SgTransport, CdromDevicesAreSrNInNumericOrder) {
    EXPECT_EQ(
        OrderCdromDevices({"sda", "sr10", "sr2", "null", "sr0", "sr", "srx", "sr1a", "sg0", "sr1"}),
        (std::vector<std::string>{"/dev/sr0", "/dev/sr1", "/dev/sr2", "/dev/sr10"}));
    EXPECT_TRUE(OrderCdromDevices({}).empty());
}

TEST(SgTransport, RequestCarriesDirectionLengthTimeoutAndSenseBuffer) {
    struct Case {
        std::uint8_t direction;
        std::uint16_t length;
        int expectedDirection;
        unsigned expectedLength;
    };
    const Case cases[] = {
        {kDirIn, 36, SG_DXFER_FROM_DEV, 36},
        {kDirOut, 16384, SG_DXFER_TO_DEV, 16384},
        {kDirNone, 0, SG_DXFER_NONE, 0},
        {0x18, 10, SG_DXFER_NONE, 0},  // neither in nor out: no data phase
        {kDirIn, 0, SG_DXFER_NONE, 0},
    };
    const Cdb cdb = {0x12, 0, 0, 0, 0x24, 0, 0, 0, 0, 0, 0, 0};
    std::uint8_t buffer[16384];
    std::uint8_t sense[32];
    for (const Case& c : cases) {
        SCOPED_TRACE(int{c.direction});
        sg_io_hdr_t r = BuildSgIoRequest(cdb, buffer, c.length, c.direction, 120000, sense, 32);
        EXPECT_EQ(r.interface_id, 'S');
        EXPECT_EQ(r.dxfer_direction, c.expectedDirection);
        EXPECT_EQ(r.dxfer_len, c.expectedLength);
        EXPECT_EQ(r.dxferp, c.expectedLength ? buffer : nullptr);
        EXPECT_EQ(r.cmd_len, 12);
        EXPECT_EQ(0, std::memcmp(r.cmdp, cdb.data(), 12));
        EXPECT_EQ(r.timeout, 120000u);
        EXPECT_EQ(r.sbp, sense);
        EXPECT_EQ(r.mx_sb_len, 32);
    }
}

// Stands in for the kernel: devices by name, which of them open, and one scripted answer.
class FakeSg : public SgSystem {
  public:
    std::vector<std::string> names;
    std::set<std::string> unopenable;
    std::vector<std::string> opens;
    std::map<int, std::string> open;
    std::vector<sg_io_hdr_t> requests;
    std::vector<std::string> requestDevices;
    // Answer of the next commands.
    int ioResult = 0;
    int ioErrno = 0;  // errno of a failed ioctl or open
    unsigned char status = 0;
    unsigned short hostStatus = 0;
    unsigned short driverStatus = 0;
    std::vector<std::uint8_t> sense;
    std::vector<std::uint8_t> reply;  // data-in the kernel writes into the whole buffer
    int resid = 0;

    std::vector<std::string> ListDeviceNames() override { return names; }
    int Open(const std::string& path) override {
        opens.push_back(path);
        if (unopenable.count(path)) {
            errno = ioErrno;
            return -1;
        }
        int fd = next++;
        open[fd] = path;
        return fd;
    }
    void Close(int fd) override { open.erase(fd); }
    int Io(int fd, sg_io_hdr_t& r) override {
        requests.push_back(r);
        requestDevices.push_back(open.at(fd));
        if (ioResult != 0) {
            errno = ioErrno;
            return ioResult;
        }
        r.status = status;
        r.masked_status = static_cast<unsigned char>(status >> 1);
        r.host_status = hostStatus;
        r.driver_status = driverStatus;
        if (status || hostStatus || driverStatus)
            r.info |= SG_INFO_CHECK;
        if (r.dxfer_direction == SG_DXFER_FROM_DEV && !reply.empty())
            std::memcpy(r.dxferp, reply.data(), std::min<std::size_t>(reply.size(), r.dxfer_len));
        r.resid = resid;
        if (!sense.empty())
            std::memcpy(r.sbp, sense.data(), std::min<std::size_t>(sense.size(), r.mx_sb_len));
        r.sb_len_wr = static_cast<unsigned char>(sense.size());
        return 0;
    }

  private:
    int next = 3;
};

struct Fixture {
    FakeSg* sg;
    std::unique_ptr<SgTransport> transport;
    explicit Fixture(std::vector<std::string> names, std::set<std::string> unopenable = {}) {
        auto fake = std::make_unique<FakeSg>();
        fake->names = std::move(names);
        fake->unopenable = std::move(unopenable);
        sg = fake.get();
        transport = std::make_unique<SgTransport>(std::move(fake));
        sg->opens.clear();
    }
};

TEST(SgTransport, DevicesThatDoNotOpenTakeNoIndexAndTheTableStopsAtTwenty) {
    Fixture f({"sr3", "sr1", "sr0"}, {"/dev/sr1"});
    ASSERT_EQ(f.transport->DriveCount(), 2);
    EXPECT_EQ(f.transport->DevicePath(0), "/dev/sr0");
    EXPECT_EQ(f.transport->DevicePath(1), "/dev/sr3");
    EXPECT_TRUE(f.sg->open.empty());  // nothing held open after the scan

    std::vector<std::string> many;
    for (int i = 0; i < 25; ++i) many.push_back("sr" + std::to_string(i));
    Fixture g(many);
    EXPECT_EQ(g.transport->DriveCount(), 20);
    EXPECT_EQ(g.transport->DevicePath(19), "/dev/sr19");
}

TEST(SgTransport, ReopensTheDeviceOnlyWhenTheDriveChanges) {
    Fixture f({"sr0", "sr1"});
    const Cdb tur{};
    for (DriveIndex d : {0, 0, 1, 1, 0})
        f.transport->SendPacketCommand(d, tur, nullptr, 0, kDirNone);
    EXPECT_EQ(f.sg->opens, (std::vector<std::string>{"/dev/sr0", "/dev/sr1", "/dev/sr0"}));
    EXPECT_EQ(f.sg->requestDevices, (std::vector<std::string>{"/dev/sr0", "/dev/sr0", "/dev/sr1",
                                                              "/dev/sr1", "/dev/sr0"}));
    EXPECT_EQ(f.sg->open.size(), 1u);
}

TEST(SgTransport, OutOfRangeIndexSendsNothing) {
    Fixture f({"sr0"});
    const Cdb tur{};
    EXPECT_FALSE(f.transport->SendPacketCommand(1, tur, nullptr, 0, kDirNone));
    EXPECT_TRUE(f.sg->requests.empty());
    EXPECT_TRUE(f.sg->opens.empty());
}

TEST(SgTransport, CheckConditionFailsAndKeepsTheSense) {
    Fixture f({"sr0"});
    f.sg->status = 0x02;
    f.sg->sense = {0x70, 0, 0x02, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x3A, 0x01, 0, 0, 0, 0};
    const Cdb tur{};
    EXPECT_FALSE(f.transport->SendPacketCommand(0, tur, nullptr, 0, kDirNone, 5000));
    SenseData s = f.transport->GetSenseData();
    EXPECT_EQ(s[2], 0x02);
    EXPECT_EQ(s[12], 0x3A);
    EXPECT_EQ(s[13], 0x01);
    EXPECT_EQ(f.sg->requests.back().timeout, 5000u);

    // A good command clears the sense again; a failed ioctl is a failure with no sense.
    f.sg->status = 0;
    f.sg->sense.clear();
    EXPECT_TRUE(f.transport->SendPacketCommand(0, tur, nullptr, 0, kDirNone));
    EXPECT_EQ(f.transport->GetSenseData(), SenseData{});
    f.sg->ioResult = -1;
    EXPECT_FALSE(f.transport->SendPacketCommand(0, tur, nullptr, 0, kDirNone));
}

TEST(SgTransport, BytesBeyondTheResidualCountKeepTheirValue) {
    Fixture f({"sr0"});
    f.sg->reply.assign(8, 0xAA);  // the kernel copied back all 8 bytes
    f.sg->resid = 3;              // but the drive sent only 5
    std::uint8_t buffer[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    const Cdb inquiry{0x12, 0, 0, 0, 8};
    EXPECT_TRUE(f.transport->SendPacketCommand(0, inquiry, buffer, 8, kDirIn));
    EXPECT_EQ(std::vector<std::uint8_t>(buffer, buffer + 8),
              (std::vector<std::uint8_t>{0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 6, 7, 8}));
}

TEST(SgTransport, AHostErrorWithGoodScsiStatusIsAFailure) {
    Fixture f({"sr0"});
    f.sg->hostStatus = 0x07;  // DID_ERROR
    const Cdb writeBuffer{0x3B, 0x06};
    std::uint8_t data[4] = {};
    EXPECT_FALSE(f.transport->SendPacketCommand(0, writeBuffer, data, 4, kDirOut));
}

TEST(SgTransport, ADriveThatNoLongerOpensFailsItsCommands) {
    Fixture f({"sr0"});
    f.sg->unopenable.insert("/dev/sr0");
    const Cdb tur{};
    EXPECT_FALSE(f.transport->SendPacketCommand(0, tur, nullptr, 0, kDirNone));
    EXPECT_TRUE(f.sg->requests.empty());
}

TEST(SgTransport, EveryFailureCarriesItsCause) {
    using Kind = CommandResult::CodeKind;
    using Outcome = CommandResult::Outcome;
    struct Case {
        const char* name;
        bool unopenable;
        int ioResult;
        int ioErrno;
        unsigned char status;
        unsigned short host;
        unsigned short driver;
        std::vector<std::uint8_t> sense;
        Outcome outcome;
        Kind kind;
        std::uint32_t code;
    };
    const std::vector<std::uint8_t> notReady = {0x70, 0, 0x02, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x3A};
    const Case cases[] = {
        {"good", false, 0, 0, 0, 0, 0, {}, Outcome::Good, Kind::None, 0},
        {"check condition", false, 0, 0, 0x02, 0, 0, notReady, Outcome::CheckCondition, Kind::None,
         0},
        {"open refused", true, 0, 0, 0, 0, 0, {}, Outcome::Error, Kind::Errno, EACCES},
        {"ioctl failed", false, -1, EIO, 0, 0, 0, {}, Outcome::Error, Kind::Errno, EIO},
        {"host gave up", false, 0, 0, 0, 0x03, 0, {}, Outcome::Error, Kind::HostStatus, 0x03},
        {"driver error", false, 0, 0, 0, 0, 0x06, {}, Outcome::Error, Kind::DriverStatus, 0x06},
        {"busy", false, 0, 0, 0x08, 0, 0, {}, Outcome::Error, Kind::ScsiStatus, 0x08},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Fixture f({"sr0"});
        if (c.unopenable)
            f.sg->unopenable.insert("/dev/sr0");
        f.sg->ioResult = c.ioResult;
        f.sg->ioErrno = c.ioErrno ? c.ioErrno : EACCES;
        f.sg->status = c.status;
        f.sg->hostStatus = c.host;
        f.sg->driverStatus = c.driver;
        f.sg->sense = c.sense;
        const Cdb tur{};
        const CommandResult r = f.transport->SendPacketCommand(0, tur, nullptr, 0, kDirNone);
        EXPECT_EQ(r.outcome, c.outcome);
        EXPECT_EQ(r.kind, c.kind);
        EXPECT_EQ(r.code, c.code);
        EXPECT_TRUE(r.certain);
        if (c.outcome == Outcome::CheckCondition) {
            EXPECT_EQ(r.sense[12], 0x3A);
        }
        EXPECT_EQ(f.transport->LastFailure().has_value(), c.outcome != Outcome::Good);
    }
    // An index outside the table is refused before any back end sees it.
    Fixture f({"sr0"});
    const CommandResult r = f.transport->SendPacketCommand(1, Cdb{}, nullptr, 0, kDirNone);
    EXPECT_EQ(r.kind, Kind::InvalidDrive);
    EXPECT_TRUE(f.sg->requests.empty());
}

}  // namespace
}  // namespace kfs
