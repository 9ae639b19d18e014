#include "emulator/iscsi/connection.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <thread>

namespace kfs::emu::iscsi {
namespace {

// One connection served on one end of a socket pair; the test is the initiator on the other.
class IscsiConnection : public ::testing::Test {
  protected:
    // Faults of the one drive, as a JSON array.
    virtual const char* Faults() const { return "[]"; }

    void SetUp() override {
        // ctest runs the tests side by side: each has a file of its own.
        path_ = ::testing::TempDir() + "iscsi_connection_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".json";
        std::ofstream(path_) << R"({"drives":[{"product":"VRZ-3372BL","family":"mtk7",)"
                             << R"("flash_size":65536,"faults":)" << Faults() << "}]}";
        target_.name = "iqn.2026-01.org.kfs:test";
        target_.units.push_back(std::make_unique<LogicalUnit>(path_, 0));
        int fds[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        fd_ = fds[0];
        server_ = std::thread([this, fd = fds[1]] {
            Connection(fd, target_).Serve();
            ::close(fd);
        });
    }
    void TearDown() override {
        ::shutdown(fd_, SHUT_RDWR);
        server_.join();
        ::close(fd_);
        std::remove(path_.c_str());
    }

    Pdu Exchange(Pdu request) {
        EXPECT_TRUE(WritePdu(fd_, request));
        Pdu reply;
        EXPECT_TRUE(ReadPdu(fd_, reply));
        return reply;
    }

    // Logs in in one step (operational to full feature) with the keys given.
    Pdu Login(const Keys& keys, const std::string& name = "iqn.2026-01.org.kfs:test") {
        Pdu login;
        login.bhs[0] = kLoginRequest | kImmediateBit;
        login.bhs[1] = 0x80 | 1 << 2 | 3;  // transit, operational to full feature
        login.Put32(16, 7);                // ITT
        login.Put32(24, cmd_sn_);
        login.Put32(28, 100);  // ExpStatSN
        Keys all = {{"InitiatorName", "iqn.test:initiator"},
                    {"TargetName", name},
                    {"SessionType", "Normal"}};
        all.insert(all.end(), keys.begin(), keys.end());
        login.data = FormatKeys(all);
        return Exchange(login);
    }

    Pdu Command(const std::vector<std::uint8_t>& cdb, std::uint32_t expected, bool reads,
                bool writes) {
        Pdu c;
        c.bhs[0] = kScsiCommand;
        c.bhs[1] = static_cast<std::uint8_t>(0x80 | (reads ? 0x40 : 0) | (writes ? 0x20 : 0));
        c.Put32(16, ++itt_);
        c.Put32(20, expected);
        c.Put32(24, cmd_sn_++);
        std::copy(cdb.begin(), cdb.end(), c.bhs.begin() + 32);
        return c;
    }

    std::string path_;
    Target target_;
    int fd_ = -1;
    std::thread server_;
    std::uint32_t cmd_sn_ = 1, itt_ = 0;
};

TEST_F(IscsiConnection, LoginAnswersTheOperationalKeysAndEntersFullFeature) {
    const Pdu r = Login({{"HeaderDigest", "CRC32C,None"},
                         {"DataDigest", "CRC32C"},
                         {"InitialR2T", "No"},
                         {"ImmediateData", "Yes"},
                         {"MaxBurstLength", "16776192"},
                         {"FirstBurstLength", "262144"},
                         {"MaxConnections", "4"},
                         {"ErrorRecoveryLevel", "2"},
                         {"X-vendor.key", "1"},
                         {"Unknown", "1"}});
    EXPECT_EQ(r.Opcode(), kLoginResponse);
    EXPECT_EQ(r.U16(36), 0);  // success
    EXPECT_EQ(r.bhs[1], 0x80 | 1 << 2 | 3);
    EXPECT_NE(r.U16(14), 0);        // TSIH
    EXPECT_EQ(r.U32(24), 100u);     // StatSN: what the initiator expects
    EXPECT_EQ(r.U32(28), cmd_sn_);  // ExpCmdSN: the login takes no place
    const Keys keys = ParseKeys(r.data);
    EXPECT_EQ(Find(keys, "HeaderDigest"), "None");
    EXPECT_EQ(Find(keys, "DataDigest"), "Reject");
    EXPECT_EQ(Find(keys, "InitialR2T"), "No");
    EXPECT_EQ(Find(keys, "ImmediateData"), "Yes");
    EXPECT_EQ(Find(keys, "MaxBurstLength"), "262144");
    EXPECT_EQ(Find(keys, "FirstBurstLength"), "65536");
    EXPECT_EQ(Find(keys, "MaxConnections"), "1");
    EXPECT_EQ(Find(keys, "ErrorRecoveryLevel"), "0");
    EXPECT_EQ(Find(keys, "TargetPortalGroupTag"), "1");
    EXPECT_EQ(Find(keys, "Unknown"), "NotUnderstood");
    EXPECT_EQ(Find(keys, "X-vendor.key"), "");  // private keys need no answer
}

TEST_F(IscsiConnection, AnotherTargetNameIsRefused) {
    const Pdu r = Login({}, "iqn.2026-01.org.kfs:other");
    EXPECT_EQ(r.U16(36), 0x0203);  // target not found
    Pdu none;
    EXPECT_FALSE(ReadPdu(fd_, none));  // and the connection closed
}

TEST_F(IscsiConnection, DataInIsSplitToTheInitiatorsSegmentLengthAndEndsWithStatusAndResidual) {
    Login({{"MaxRecvDataSegmentLength", "4096"}});
    // ROM read of 10000 bytes: three Data-In PDUs, the last with the status.
    const Pdu read =
        Command({0x5A, 0, 0x38, 0x4B, 0x45, 0x11, 0, 0, 0, 0, 0x27, 0x10}, 10000, true, false);
    ASSERT_TRUE(WritePdu(fd_, const_cast<Pdu&>(read)));
    const std::uint32_t sizes[] = {4096, 4096, 1808};
    for (std::uint32_t i = 0; i < 3; ++i) {
        Pdu in;
        ASSERT_TRUE(ReadPdu(fd_, in));
        SCOPED_TRACE(i);
        EXPECT_EQ(in.Opcode(), kDataIn);
        EXPECT_EQ(in.data.size(), sizes[i]);
        EXPECT_EQ(in.U32(36), i);         // DataSN
        EXPECT_EQ(in.U32(40), i * 4096);  // buffer offset
        EXPECT_EQ(in.bhs[1], i == 2 ? 0x81 : 0x00);
    }
    // INQUIRY of 96 bytes with 200 expected: one short Data-In with underflow and residual.
    Pdu r = Exchange(Command({0x12, 0, 0, 0, 96, 0}, 200, true, false));
    EXPECT_EQ(r.Opcode(), kDataIn);
    EXPECT_EQ(r.bhs[1], 0x80 | 0x02 | 0x01);
    EXPECT_EQ(r.U32(44), 200 - r.data.size());
    EXPECT_LE(r.data.size(), 96u);
}

TEST_F(IscsiConnection, CheckConditionCarriesTheSenseBehindItsLength) {
    Login({});
    // No disc: TEST UNIT READY fails with 2/3A.
    const Pdu r = Exchange(Command({0, 0, 0, 0, 0, 0}, 0, false, false));
    EXPECT_EQ(r.Opcode(), kScsiResponse);
    EXPECT_EQ(r.bhs[3], 0x02);
    ASSERT_EQ(r.data.size(), 20u);
    EXPECT_EQ(r.U32(16), itt_);
    EXPECT_EQ(r.data[0] << 8 | r.data[1], 18);
    EXPECT_EQ(r.data[2 + 2], 0x02);
    EXPECT_EQ(r.data[2 + 12], 0x3A);
}

TEST_F(IscsiConnection, DataOutBeyondTheImmediateDataIsAskedForWithR2TsOfTheBurstLength) {
    Login({{"InitialR2T", "Yes"}, {"MaxBurstLength", "8192"}});
    Pdu write = Command({0x3B, 0x05, 0, 0, 0, 0, 0, 0x27, 0x10, 0}, 10000, false, true);
    write.data.assign(1000, 0xAB);  // immediate data
    ASSERT_TRUE(WritePdu(fd_, write));
    std::uint32_t offset = 1000;
    const std::uint32_t bursts[] = {8192, 808};
    for (std::uint32_t n = 0; n < 2; ++n) {
        Pdu r2t;
        ASSERT_TRUE(ReadPdu(fd_, r2t));
        ASSERT_EQ(r2t.Opcode(), kR2t);
        EXPECT_EQ(r2t.U32(16), itt_);
        EXPECT_EQ(r2t.U32(36), n);  // R2TSN
        EXPECT_EQ(r2t.U32(40), offset);
        EXPECT_EQ(r2t.U32(44), bursts[n]);
        // The burst in PDUs of at most 4096 bytes; the last has the final bit.
        for (std::uint32_t sent = 0; sent < bursts[n];) {
            Pdu out;
            out.bhs[0] = kDataOut;
            const std::uint32_t size = std::min<std::uint32_t>(4096, bursts[n] - sent);
            out.bhs[1] = sent + size == bursts[n] ? 0x80 : 0;
            out.Put32(16, itt_);
            out.Put32(20, r2t.U32(20));  // the R2T's transfer tag
            out.Put32(40, offset + sent);
            out.data.assign(size, 0xCD);
            ASSERT_TRUE(WritePdu(fd_, out));
            sent += size;
        }
        offset += bursts[n];
    }
    Pdu done;
    ASSERT_TRUE(ReadPdu(fd_, done));
    EXPECT_EQ(done.Opcode(), kScsiResponse);
    EXPECT_EQ(done.U32(16), itt_);
}

// A drive that hangs on TEST UNIT READY: no status for it, while the connection still answers
// the initiator's pings and the abort of the hung task; the next command is answered.
class IscsiHungDrive : public IscsiConnection {
    const char* Faults() const override { return R"([{"command":"00","nth":1,"no_answer":true}])"; }
};

TEST_F(IscsiHungDrive, NoStatusForTheHungCommandButPingsAndItsAbortAreAnswered) {
    Login({});
    Pdu tur = Command({0, 0, 0, 0, 0, 0}, 0, false, false);
    ASSERT_TRUE(WritePdu(fd_, tur));
    const std::uint32_t hung = itt_;
    Pdu nop;
    nop.bhs[0] = kNopOut | kImmediateBit;
    nop.bhs[1] = 0x80;
    nop.Put32(16, 90);
    nop.Put32(20, kNoTag);
    EXPECT_EQ(Exchange(nop).Opcode(), kNopIn);  // the first answer is the ping's, not a status

    Pdu abort;
    abort.bhs[0] = kTaskRequest | kImmediateBit;
    abort.bhs[1] = 0x80 | 1;  // ABORT TASK
    abort.Put32(16, 91);
    abort.Put32(20, hung);  // the referenced task
    abort.Put32(24, cmd_sn_);
    const Pdu done = Exchange(abort);
    EXPECT_EQ(done.Opcode(), kTaskResponse);
    EXPECT_EQ(done.bhs[2], 0);  // function complete
    EXPECT_EQ(done.U32(16), 91u);

    const Pdu next = Exchange(Command({0, 0, 0, 0, 0, 0}, 0, false, false));
    EXPECT_EQ(next.Opcode(), kScsiResponse);
    EXPECT_EQ(next.U32(16), itt_);
}

TEST_F(IscsiConnection, NopOutIsEchoedAndLogoutClosesTheConnection) {
    Login({});
    Pdu nop;
    nop.bhs[0] = kNopOut | kImmediateBit;
    nop.bhs[1] = 0x80;
    nop.Put32(16, 55);
    nop.Put32(20, kNoTag);
    nop.data = {1, 2, 3};
    const Pdu in = Exchange(nop);
    EXPECT_EQ(in.Opcode(), kNopIn);
    EXPECT_EQ(in.U32(16), 55u);
    EXPECT_EQ(in.data, nop.data);

    Pdu logout;
    logout.bhs[0] = kLogoutRequest | kImmediateBit;
    logout.bhs[1] = 0x80;
    logout.Put32(16, 56);
    const Pdu bye = Exchange(logout);
    EXPECT_EQ(bye.Opcode(), kLogoutResponse);
    EXPECT_EQ(bye.bhs[2], 0);
    Pdu none;
    EXPECT_FALSE(ReadPdu(fd_, none));
}

}  // namespace
}  // namespace kfs::emu::iscsi
