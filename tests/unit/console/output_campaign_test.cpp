// The fault campaign's output side: whole updates through the terminal front end on emulated
// drives of the bank-writing families, with standard output or error broken at a random command
// of the update (the pipe's reader gone, or a device that takes no more bytes), with or without
// a drive fault as well. Nothing the terminal does may change what happens to the drive, so each
// run is held to the same update with its output intact:
//
//   status    the same exit status; 0 only with the image in the flash, 3 only with the flash
//             as it was
//   commands  the same commands, in the same order: none added after a failure, none left out
//   flash     the same flash afterwards
//   unlocked  the medium unlocked at the end
//
// KFS_CAMPAIGN_SEED and KFS_OUTPUT_CAMPAIGN_RUNS choose the seed and the number of runs.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "app/console/drive_table.h"
#include "app/console/exit_status.h"
#include "app/console/session.h"
#include "app/console/signal_hold.h"
#include "emulator/adapters/emulator_clock.h"
#include "support/firmware_fixtures.h"

namespace kfs::console {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Rng = std::mt19937_64;

std::uint64_t EnvNumber(const char* name, std::uint64_t fallback) {
    const char* text = std::getenv(name);
    return text && *text ? std::strtoull(text, nullptr, 0) : fallback;
}

int Pick(Rng& rng, int from, int to) {
    return std::uniform_int_distribution<int>(from, to)(rng);
}

struct Family {
    const char* name;
    std::uint8_t type;
    std::size_t imageSize;  // written whole by the procedure, so success means flash == image
};
const Family kFamilies[] = {{"a0", 1, 0x8000},      {"a0-poll", 4, 0x8000}, {"a0-32k", 7, 0x8000},
                            {"ali", 2, 2 * 0x4000}, {"mtk5", 6, 0x10000},   {"mtk7", 8, 0x8000}};

enum class Break { kNone, kOutReaderGone, kErrReaderGone, kBothReadersGone, kOutFull, kErrFull };

// One output stream: a pipe whose reader can go away, or be swapped for /dev/full.
class Output {
  public:
    Output() {
        int fds[2];
        if (pipe(fds) != 0)
            std::abort();
        read_ = fds[0];
        // A pipe nobody drains must not block the program: a full one fails the write instead.
        fcntl(fds[1], F_SETFL, O_NONBLOCK);
        file_ = fdopen(fds[1], "w");
    }
    ~Output() {
        std::fclose(file_);
        if (read_ >= 0)
            close(read_);
    }
    std::FILE* file() const { return file_; }
    void ReaderGone() {
        close(read_);
        read_ = -1;
    }
    void Full() {
        const int full = open("/dev/full", O_WRONLY);
        dup2(full, fileno(file_));
        close(full);
    }

  private:
    int read_ = -1;
    std::FILE* file_ = nullptr;
};

// Records every command; breaks the output at the n-th.
class BreakingTransport : public Transport {
  public:
    BreakingTransport(Transport& inner, Break kind, int at, Output& out, Output& err)
        : inner_(inner), kind_(kind), at_(at), out_(out), err_(err) {}
    CommandResult Execute(DriveIndex drive, const Cdb& cdb, std::uint8_t* buffer,
                          std::uint16_t length, std::uint8_t direction,
                          std::uint32_t timeoutMs) override {
        if (static_cast<int>(sent.size()) == at_)
            BreakNow();
        sent.emplace_back(cdb.begin(), cdb.end());
        return inner_.SendPacketCommand(drive, cdb, buffer, length, direction, timeoutMs);
    }
    SenseData GetSenseData() const override { return inner_.GetSenseData(); }
    int DriveCount() const override { return inner_.DriveCount(); }

    std::vector<Bytes> sent;

  private:
    void BreakNow() {
        switch (kind_) {
            case Break::kNone:
                break;
            case Break::kOutReaderGone:
                out_.ReaderGone();
                break;
            case Break::kErrReaderGone:
                err_.ReaderGone();
                break;
            case Break::kBothReadersGone:
                out_.ReaderGone();
                err_.ReaderGone();
                break;
            case Break::kOutFull:
                out_.Full();
                break;
            case Break::kErrFull:
                err_.Full();
                break;
        }
    }

    Transport& inner_;
    Break kind_;
    int at_;
    Output& out_;
    Output& err_;
};

struct RunRecord {
    int status = -1;
    std::vector<Bytes> sent;
    Bytes flashBefore, flashAfter;
    bool locked = true;
};

struct Config {
    Family family;
    std::string fault;  // an emulator fault, or empty
    bool verify = true, backup = true;
};

std::string Description(const Config& c) {
    return R"({"drives":[{"vendor":"KEMO","product":"VRZ-3350A","revision":"1.00",)"
           R"("hardware_id":"K1","date_code":"061122","flash_size":524288,"family":")" +
           std::string(c.family.name) + R"(","faults":[)" + c.fault + "]}]}";
}

RunRecord RunOnce(const Config& c, const std::string& file, const std::string& backups, Break kind,
            int at) {
    emu::DriveSet drives = emu::DriveSet::FromJson(Description(c));
    auto table = DriveTable::ForEmulator(drives);
    Output out, err;
    BreakingTransport transport(*table, kind, at, out, err);
    EmulatorClock clock(drives);
    Options options;
    options.firmware = file;
    options.answers = Answers::kYes;
    options.verify = c.verify;
    options.backup.none = !c.backup;
    if (c.backup)
        options.backup.directory = backups;
    Streams io;
    io.out = out.file();
    io.err = err.file();
    io.in = nullptr;
    RunRecord run;
    run.flashBefore = drives.drive(0).rom();
    run.status = RunUpdate(options, {}, *table, transport, clock, io, "kfsflash");
    run.sent = transport.sent;
    run.flashAfter = drives.drive(0).rom();
    run.locked = drives.drive(0).locked;
    for (const auto& entry : std::filesystem::directory_iterator(backups))
        std::filesystem::remove(entry.path());
    return run;
}

std::string RandomFault(Rng& rng, const std::vector<Bytes>& sent) {
    const int kind = Pick(rng, 0, 3);
    if (kind == 0 || sent.empty())
        return "";
    const std::string from = std::to_string(Pick(rng, 1, static_cast<int>(sent.size())));
    if (kind == 1)
        return R"({"never_ready":true,"from":)" + from + "}";
    const Bytes& cdb =
        sent[static_cast<std::size_t>(Pick(rng, 0, static_cast<int>(sent.size()) - 1))];
    char opcode[3];
    std::snprintf(opcode, sizeof opcode, "%02x", cdb[0]);
    const char* senses[] = {"05/24/00", "02/04/01", "03/0c/00", "06/29/00"};
    return std::string(R"({"command":")") + opcode + R"(","nth":)" +
           std::to_string(Pick(rng, 1, 3)) + R"(,"sense":")" + senses[Pick(rng, 0, 3)] +
           R"(","from":)" + from + "}";
}

TEST(OutputCampaign, BrokenOutputChangesNothingThatHappensToTheDrive) {
    PrepareProcess();  // SIGPIPE ignored, as kfsflash does
    const std::uint64_t seed = EnvNumber("KFS_CAMPAIGN_SEED", 19);
    const int runs = static_cast<int>(EnvNumber("KFS_OUTPUT_CAMPAIGN_RUNS", 36));
    std::printf("output campaign: seed %llu, %d runs\n", static_cast<unsigned long long>(seed),
                runs);
    Rng rng(seed);
    const std::string folder = testing::TempDir() + "output_campaign." + std::to_string(getpid());
    std::filesystem::create_directories(folder + "/backups");
    int statusChecks[6] = {};
    for (int i = 0; i < runs; ++i) {
        Config c;
        c.family = kFamilies[Pick(rng, 0, static_cast<int>(std::size(kFamilies)) - 1)];
        c.verify = Pick(rng, 0, 3) != 0;
        c.backup = Pick(rng, 0, 1) != 0;
        test::Identity id;
        id.revision = "1.10";
        const Bytes image = test::MakeImage(id, c.family.imageSize, static_cast<std::uint8_t>(i));
        const std::string file = folder + "/fw.kfs";
        {
            const Bytes kfs = test::MakeKfs(image, c.family.type);
            std::ofstream(file, std::ios::binary | std::ios::trunc)
                .write(reinterpret_cast<const char*>(kfs.data()), static_cast<long>(kfs.size()));
        }
        // Where the commands lie, then a fault among them, then the run it is compared with.
        const RunRecord plain = RunOnce(c, file, folder + "/backups", Break::kNone, -1);
        c.fault = RandomFault(rng, plain.sent);
        const RunRecord intact = RunOnce(c, file, folder + "/backups", Break::kNone, -1);
        const auto kind = static_cast<Break>(Pick(rng, 1, 5));
        const int at = Pick(rng, 0, static_cast<int>(intact.sent.size()) - 1);
        const RunRecord broken = RunOnce(c, file, folder + "/backups", kind, at);

        const std::string where =
            "run " + std::to_string(i) + " (seed " + std::to_string(seed) + "): " + c.family.name +
            " fault " + (c.fault.empty() ? "none" : c.fault) + ", output broken (" +
            std::to_string(static_cast<int>(kind)) + ") at command " + std::to_string(at) +
            (c.verify ? "" : ", --no-verify") + (c.backup ? "" : ", --no-backup");
        EXPECT_EQ(broken.status, intact.status) << where;
        EXPECT_TRUE(broken.sent == intact.sent) << where << ": the commands differ";
        EXPECT_TRUE(broken.flashAfter == intact.flashAfter) << where << ": the flash differs";
        EXPECT_FALSE(broken.locked) << where << ": the medium is left locked";
        const bool holdsImage = std::equal(image.begin(), image.end(), broken.flashAfter.begin());
        if (broken.status == kExitSuccess) {
            EXPECT_TRUE(holdsImage) << where << ": status 0 without the image in the flash";
        }
        if (broken.status == kExitNothingWritten) {
            EXPECT_TRUE(broken.flashAfter == broken.flashBefore)
                << where << ": status 3, yet the flash changed";
        }
        if (broken.status >= 0 && broken.status <= 5)
            ++statusChecks[broken.status];
    }
    std::printf("output campaign: statuses 0: %d, 3: %d, 4: %d, 5: %d\n", statusChecks[0],
                statusChecks[3], statusChecks[4], statusChecks[5]);
    std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace kfs::console
