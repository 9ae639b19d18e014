// A seeded random fault campaign: whole updates through the presenter, as the terminal front end
// drives them (start-up, --load or the tagged buffers, --drive, --verify, --silent, Start), on
// emulated drives of every family, with faults struck at random points of the update. Every run
// is checked against what a user must be able to trust:
//
//   outcome   success leaves the image in the drive's flash (verification, when ticked, agrees);
//             anything else ends in one of the failure texts. Without verification a success
//             may leave the old flash only when the fault hit a command the procedure leaves
//             unexamined on purpose, or a flash byte that does not take its value

//   completed a failure never shows "All Completed!" (a failed re-identification comes after it)
//   unlocked  the medium is unlocked at the end: the last lock command is an unlock, and the
//             drive holds it unless it refused that command (a drive still busy programming)
//   window    the window is enabled again and the presenter is idle
//   quiet     after a failure text no command goes to the drive but those of that path
//   ends      the update comes to an end (within an hour of the drives' time)
//   backup    a backup made before the write holds the flash as it was
//   untouched when the drive took none of the write commands (FlashMayHaveChanged false: the
//             terminal says nothing was written), its flash is as it was
//
// KFS_CAMPAIGN_SEED and KFS_CAMPAIGN_RUNS choose the seed and the number of runs; a failing run
// prints its seed, group and parameters, and KFS_CAMPAIGN_GROUP=<n> replays that group alone.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "app/presenter.h"
#include "container/firmware_file.h"
#include "container/kfs_encode.h"
#include "drive/auto_insert.h"
#include "emulator/adapters/emulated_transport.h"
#include "emulator/adapters/emulator_clock.h"
#include "emulator/emulator.h"
#include "support/firmware_fixtures.h"
#include "support/recording_view.h"

namespace kfs {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Rng = std::mt19937_64;

constexpr std::size_t kBank = 65536;
constexpr std::size_t kBlock = 16384;
// Runs per configuration: one without faults (it also tells where the update's commands lie),
// then runs with faults placed among those commands.
constexpr int kRunsPerGroup = 4;

std::uint64_t EnvNumber(const char* name, std::uint64_t fallback) {
    const char* text = std::getenv(name);
    if (!text || !*text)
        return fallback;
    return std::strtoull(text, nullptr, 0);
}

int Pick(Rng& rng, int from, int to) {
    return std::uniform_int_distribution<int>(from, to)(rng);
}
bool Chance(Rng& rng, double p) {
    return std::bernoulli_distribution(p)(rng);
}

// ------------------------------------------------------------------------------------------------
// Configurations

struct Family {
    const char* name;   // emulator family
    std::uint8_t type;  // AtapiFlashType; 0 with philips
    bool philips;
};
const Family kFamilies[] = {
    {"a0", 1, false},      {"a0", 3, false},     {"a0", 5, false},
    {"a0-poll", 4, false}, {"a0-32k", 7, false}, {"ali", 2, false},
    {"mtk5", 6, false},    {"mtk7", 8, false},   {"philips", 0, true},
};

struct Config {
    Family family;
    std::size_t imageSize = 0;
    std::uint32_t flashSize = 0;
    std::uint32_t romSeed = 1;
    bool keepsChecksum = false;
    bool updater = false;  // updater role (tagged buffers) or flash utility role (--load)
    bool verify = false;
    bool silent = false;
    bool noDisc = true;
    bool trayOpen = false, medium = false;
    std::string driveRevision = "1.00", imageRevision = "1.10";
};

// Image sizes each family's procedure writes whole (or, where it leaves bytes unsent, whose
// unsent bytes the image holds as the flash does), so that success means flash == image.
std::size_t ImageSize(const Family& f, Rng& rng) {
    const std::string name = f.name;
    if (name == "a0" || name == "a0-poll" || name == "a0-32k")
        return static_cast<std::size_t>(Pick(rng, 0x800, 3 * static_cast<int>(kBank)));
    if (name == "ali")  // whole blocks and a tail of zeros that adds nothing to the image sum
        return static_cast<std::size_t>(Pick(rng, 1, 16)) * kBlock +
               (Chance(rng, 0.3) ? static_cast<std::size_t>(Pick(rng, 1, kBlock - 1)) : 0);
    if (name == "mtk5")  // whole banks, one pass or (rarely) the two-pass 2 MB image
        return Chance(rng, 0.03)
                   ? 32 * kBank
                   : static_cast<std::size_t>(Pick(rng, 1, Chance(rng, 0.2) ? 16 : 4)) * kBank;
    if (name == "mtk7")  // only the first 128 KB are ever written
        return static_cast<std::size_t>(Pick(rng, 0x800, 2 * static_cast<int>(kBank)));
    return static_cast<std::size_t>(Pick(rng, 1, 24)) * kBlock - 40;  // Philips form: whole blocks
}

Config MakeConfig(Rng& rng) {
    Config c;
    c.family = kFamilies[Pick(rng, 0, std::size(kFamilies) - 1)];
    c.imageSize = ImageSize(c.family, rng);
    c.flashSize = c.imageSize > kBank * 16  ? 2 * 1024 * 1024
                  : c.imageSize > kBank * 6 ? 1024 * 1024
                                            : 512 * 1024;
    c.romSeed = static_cast<std::uint32_t>(Pick(rng, 1, 1 << 30));
    c.keepsChecksum = Chance(rng, 0.4);
    // A Philips-form file loads only from an archive; it reaches the drive as an updater's.
    c.updater = c.family.philips || Chance(rng, 0.3);
    c.verify = Chance(rng, 0.6);
    c.silent = Chance(rng, 0.15);
    c.noDisc = Chance(rng, 0.7);
    c.trayOpen = Chance(rng, 0.15);
    c.medium = Chance(rng, 0.2);
    if (Chance(rng, 0.1))
        c.driveRevision = "1.20";  // a downgrade: the question is answered with OK
    return c;
}

// A pseudo-random image with the drive's model in two INQUIRY blocks (the second one is where
// flash type 7 reads its version), no stray block signature, and the flash's old bytes where the
// procedure sends nothing.
Bytes MakeImage(const Config& c, const Bytes& oldRom, Rng& rng) {
    Bytes image(c.imageSize);
    for (auto& b : image) b = static_cast<std::uint8_t>(rng());
    test::RemoveInquirySignatures(image);
    for (std::size_t at : {std::size_t{0x100}, std::size_t{0x180}})
        if (at + 48 <= image.size())
            test::PutInquiry(image, at, {"KEMO", "VRZ-3372BL", c.imageRevision, "K1", "061122"});
    const std::string name = c.family.name;
    if (name == "a0" || name == "a0-poll")  // the last two bytes of a full bank are never sent
        for (std::size_t bank = 0; (bank + 1) * kBank <= image.size(); ++bank)
            for (std::size_t i = bank * kBank + kBank - 2; i < (bank + 1) * kBank; ++i)
                image[i] = oldRom[i];
    if (name == "ali")
        std::fill(image.begin() + static_cast<std::ptrdiff_t>(image.size() / kBlock * kBlock),
                  image.end(), 0);
    return image;
}

Bytes MakeContainer(const Config& c, const Bytes& image) {
    KfsEncodeOptions o;
    if (c.family.philips) {
        o.form = KfsForm::kPhilips;
        return EncodeKfs(image, o);
    }
    o.form = KfsForm::kKfs3;
    o.ideFlashType = 4;
    o.atapiFlashType = c.family.type;
    return EncodeKfs(image, o);
}

// ------------------------------------------------------------------------------------------------
// Faults

const char* const kSenses[] = {"05/24/00", "05/20/00", "05/21/00", "05/26/00", "05/2c/00",
                               "02/04/01", "02/04/07", "02/3a/00", "02/3a/01", "06/29/00",
                               "06/28/00", "03/0c/00", "03/11/00", "04/44/00", "0b/00/00"};

struct TracedCommand {
    std::string line;  // trace line
    std::uint8_t opcode, subcode, byte6;
    bool dataIn;
    std::uint16_t length;
    std::uint8_t failKey = 0;  // a command made to fail: the sense key it fails with
};

TracedCommand Parse(const std::string& line) {
    TracedCommand t{line, 0, 0, 0, false, 0};
    const auto hex = [&](std::size_t at) {
        return static_cast<std::uint8_t>(std::stoi(line.substr(at * 2, 2), nullptr, 16));
    };
    t.opcode = hex(0);
    t.subcode = hex(5);
    t.byte6 = hex(6);
    t.dataIn = line.compare(25, 3, "in ") == 0;
    t.length = static_cast<std::uint16_t>(std::stoul(line.substr(line.rfind(' ') + 1)));
    return t;
}

std::string Hex2(unsigned v) {
    char text[3];
    std::snprintf(text, sizeof text, "%02x", v & 0xFF);
    return text;
}

// What a run's faults were, for the verdict on a success that left the flash untouched.
struct FaultPlan {
    std::vector<std::string> json;      // the drive's "faults" entries
    std::vector<TracedCommand> failed;  // commands made to fail (the first of a persistent one)
    bool flip = false;
    std::uint32_t flipOffset = 0;
};

// Faults placed among the update's commands (`update` as the fault-free run sent them; the
// drive had received `before` commands when the update began).
FaultPlan MakeFaults(const Config& c, const std::vector<TracedCommand>& update,
                     std::uint64_t before, Rng& rng) {
    FaultPlan plan;
    const int count = Chance(rng, 0.25) ? 2 : 1;
    for (int n = 0; n < count && !update.empty(); ++n) {
        const std::size_t k =
            static_cast<std::size_t>(Pick(rng, 0, static_cast<int>(update.size()) - 1));
        const std::string from = std::to_string(before + k + 1);
        const TracedCommand& at = update[k];
        const std::string command =
            Hex2(at.opcode) + (at.opcode == 0x5A ? ":" + Hex2(at.subcode) : std::string());
        switch (Pick(rng, 0, 9)) {
            case 0:
            case 1:
            case 2:
            case 3: {  // that command fails, once or from then on
                const bool persistent = Chance(rng, 0.25);
                const std::string sense = kSenses[Pick(rng, 0, std::size(kSenses) - 1)];
                plan.json.push_back(R"({"command": ")" + command + R"(", "nth": )" +
                                    (persistent ? "0" : "1") + R"(, "sense": ")" + sense +
                                    R"(", "from": )" + from + "}");
                plan.failed.push_back(at);
                plan.failed.back().failKey =
                    static_cast<std::uint8_t>(std::stoi(sense.substr(0, 2), nullptr, 16));
                break;
            }
            case 4:
            case 5: {  // a data-in command whose replies come short from then on
                std::vector<const TracedCommand*> in;
                for (std::size_t i = k; i < update.size(); ++i)
                    if (update[i].dataIn && update[i].length > 0)
                        in.push_back(&update[i]);
                if (in.empty())
                    break;
                const TracedCommand& r =
                    *in[static_cast<std::size_t>(Pick(rng, 0, static_cast<int>(in.size()) - 1))];
                plan.json.push_back(R"({"short_reply": ")" + Hex2(r.opcode) +
                                    (r.opcode == 0x5A ? ":" + Hex2(r.subcode) : std::string()) +
                                    R"(", "bytes": )" + std::to_string(Pick(rng, 0, r.length - 1)) +
                                    R"(, "from": )" + from + "}");
                break;
            }
            case 6:
                plan.json.push_back(R"({"never_ready": true, "from": )" + from + "}");
                break;
            case 7:
                plan.json.push_back(R"({"stay_boot": )" + std::to_string(Pick(rng, 1, 3)) + "}");
                break;
            default: {  // a flash byte that does not take its value, mostly inside the image
                plan.flip = true;
                plan.flipOffset = static_cast<std::uint32_t>(
                    Chance(rng, 0.9) ? Pick(rng, 0, static_cast<int>(c.imageSize) - 1)
                                     : Pick(rng, 0, static_cast<int>(c.flashSize) - 1));
                plan.json.push_back(R"({"flip_flash_byte": )" + std::to_string(plan.flipOffset) +
                                    "}");
                break;
            }
        }
    }
    return plan;
}

// Commands whose failure the procedure of the family leaves to the wait or poll after them on
// purpose: when one of them fails, a run without verification may end as a success with the
// flash as it was. Those are the download mode switches, and the commands that make the drive
// program when they fail with a restart (a unit attention) or without a refusal (no sense, a
// recovered error): the drive may restart into programming as it answers. Every other failed
// command, any refused write among them, must be noticed.
bool UnexaminedByDesign(const Config& c, const TracedCommand& t, std::size_t philipsBlocks) {
    const std::string name = c.family.name;
    const bool mayHaveStarted = t.failKey == 0x00 || t.failKey == 0x01 || t.failKey == 0x06;
    // The trigger: 128 bytes with 00 80 in bytes 8-9 (type 4 tells it from a bank write by them).
    const bool a0Trigger = t.opcode == 0x5A && t.subcode == 0xA0 && t.length == 128 &&
                           t.line.compare(16, 4, "0080") == 0;
    if (name == "a0" || name == "a0-poll" || name == "a0-32k")
        return a0Trigger && mayHaveStarted;
    if (name == "ali")  // the last block
        return t.opcode == 0xFD && t.line[22] == t.line[20] && t.line[23] == t.line[21] &&
               mayHaveStarted;
    if (name == "mtk5")  // download mode, and the start of programming
        return t.opcode == 0x3B && (t.line[3] == '1' || (t.line[3] == '7' && mayHaveStarted));
    if (name == "mtk7")  // the saves
        return t.opcode == 0x3B && t.line[3] == '7' && mayHaveStarted;
    if (c.family.philips)  // the last block
        return t.opcode == 0xFA &&
               t.line.compare(10, 2, Hex2(static_cast<unsigned>(philipsBlocks) - 1)) == 0 &&
               mayHaveStarted;
    return false;
}

// ------------------------------------------------------------------------------------------------
// One run

// The view of a run: a recording view that also keeps every line ever shown (the list is
// cleared as the update goes), notes how many commands the drive had received at each error box,
// and plays the user at the tray prompts.
class CampaignView : public test::RecordingView {
  public:
    CampaignView(emu::DriveSet& drives, std::vector<std::string>& trace)
        : drives_(drives), trace_(trace) {}
    void AddLine(const std::string& line) override {
        everyLine.push_back(line);
        RecordingView::AddLine(line);
    }
    void ShowError(const std::string& text, const std::string& caption) override {
        errorAt.push_back(trace_.size());
        RecordingView::ShowError(text, caption);
    }
    bool AskOkCancel(const std::string& text, const std::string& caption) override {
        // A user who closes the tray and takes the disc out when asked, and gives up after a
        // while on a drive that does not follow.
        if (++questions > 40)
            return false;
        if (text.rfind("Please close the tray", 0) == 0)
            drives_.drive(0).trayOpen = false;
        if (text.rfind("Please remove your disc", 0) == 0)
            drives_.drive(0).medium = false;
        if (text.rfind("After updating", 0) == 0) {
            RecordingView::AskOkCancel(text, caption);
            return false;
        }
        return RecordingView::AskOkCancel(text, caption);
    }
    std::vector<std::string> everyLine;
    std::vector<std::size_t> errorAt;
    int questions = 0;

  private:
    emu::DriveSet& drives_;
    std::vector<std::string>& trace_;
};

// Thrown when an update runs past any bound a user would wait for: an hour of the drives' time
// or a million commands.
struct RunAway {};
constexpr std::uint64_t kRunAwayMs = 3600000;
constexpr int kRunAwayCommands = 1000000;

// Every command takes a millisecond of the drives' time, as on a real bus: a loop that asks a
// failing drive again at once still comes to its time limit.
class TimedTransport : public Transport {
  public:
    TimedTransport(emu::DriveSet& drives, Transport& inner) : drives_(drives), inner_(inner) {}
    CommandResult Execute(DriveIndex drive, const Cdb& cdb, std::uint8_t* buffer,
                          std::uint16_t length, std::uint8_t direction,
                          std::uint32_t timeoutMs) override {
        if (++commands_ > kRunAwayCommands || drives_.Now() > kRunAwayMs)
            throw RunAway{};
        const CommandResult ok =
            inner_.SendPacketCommand(drive, cdb, buffer, length, direction, timeoutMs);
        drives_.Advance(1);
        if (cdb[0] == 0x1E)
            lockTaken = ok.good();
        return ok;
    }
    SenseData GetSenseData() const override { return inner_.GetSenseData(); }
    int DriveCount() const override { return inner_.DriveCount(); }

    // Whether the drive took the last PREVENT ALLOW MEDIUM REMOVAL.
    bool lockTaken = true;

  private:
    emu::DriveSet& drives_;
    Transport& inner_;
    int commands_ = 0;
};

// The drives' clock, with the same bound for loops that only sleep.
class CampaignClock : public EmulatorClock {
  public:
    explicit CampaignClock(emu::DriveSet& drives) : EmulatorClock(drives), drives_(drives) {}
    void Sleep(std::uint32_t ms) override {
        if (drives_.Now() > kRunAwayMs)
            throw RunAway{};
        EmulatorClock::Sleep(ms);
    }

  private:
    emu::DriveSet& drives_;
};

struct RunResult {
    UpdateOutcome outcome = UpdateOutcome::kRefused;
    bool loaded = false;
    std::vector<std::string> trace;  // every command of the run
    std::size_t updateStart = 0;     // index in `trace` of the update's first command
    std::uint64_t commandsBefore = 0;
    std::vector<std::string> errors, lines;
    std::vector<std::size_t> errorAt;
    Bytes flashBefore;            // the whole flash as it was before the update
    std::optional<Bytes> backup;  // the image of the backup the update made, if it made one
    bool flashHoldsImage = false;
    // The presenter's word that no write command reached the drive, and the flash afterwards.
    bool flashMayHaveChanged = true;
    bool flashAsBefore = false;
    bool locked = false, unlockRefused = false, windowEnabled = false, controlsEnabled = false,
         busy = true;
    std::string loadProblem;
    bool runAway = false;
};

std::string DriveJson(const Config& c, const std::vector<std::string>& faults) {
    std::string json = R"({"drives": [{"vendor": "KEMO", "product": "VRZ-3372BL", "revision": ")" +
                       c.driveRevision + R"(", "hardware_id": "K1", "date_code": "061001", )" +
                       R"("family": ")" + c.family.name + R"(", "flash_size": )" +
                       std::to_string(c.flashSize) + R"(, "seed": )" + std::to_string(c.romSeed) +
                       R"(, "keeps_checksum": )" + (c.keepsChecksum ? "true" : "false") +
                       R"(, "tray_open": )" + (c.trayOpen ? "true" : "false") + R"(, "medium": )" +
                       (c.medium ? "true" : "false") + R"(, "faults": [)";
    for (std::size_t i = 0; i < faults.size(); ++i) json += (i ? ", " : "") + faults[i];
    return json + "]}]}";
}

Bytes ParamBuffer(const Config& c) {
    std::string text;
    if (c.updater)
        text += "[Main]\r\nUpdater=1\r\n";
    text += std::string("[Other settings]\r\nNoDisc=") + (c.noDisc ? "1" : "0") + "\r\n";
    if (c.updater)
        text += std::string("Verify=") + (c.verify ? "1" : "0") + "\r\n";
    Bytes b(text.begin(), text.end());
    b.push_back(0);
    return b;
}

// The image as the drive holds it after a good flash: the first bytes of the flash, as far as the
// procedure writes (the ALI procedure leaves a tail shorter than a block unsent).
bool FlashHoldsImage(const Config& c, const Bytes& flash, const Bytes& image) {
    const std::size_t written =
        std::string(c.family.name) == "ali" ? image.size() / kBlock * kBlock : image.size();
    return flash.size() >= written &&
           std::equal(image.begin(), image.begin() + static_cast<std::ptrdiff_t>(written),
                      flash.begin());
}

// One folder for the campaign's backups; each run's file is read and removed again.
std::string BackupFolder() {
    static const std::string folder = [] {
        const std::string path = ::testing::TempDir() + "FaultCampaign.backups." +
                                 std::to_string(static_cast<long>(getpid()));
        std::filesystem::create_directories(path);
        return path;
    }();
    return folder;
}

// The image of the backup a list line names, the file removed; nothing when no line names one.
std::optional<Bytes> TakeBackup(const std::vector<std::string>& lines) {
    const std::string prefix = "Backup of the drive's flash: ";
    for (const std::string& line : lines) {
        if (line.rfind(prefix, 0) != 0)
            continue;
        const std::string path = line.substr(prefix.size());
        FirmwareFileResult file = ReadFirmwareFile(path);
        std::filesystem::remove(path);
        return file.firmware ? file.firmware->Image : Bytes{};
    }
    return std::nullopt;
}

// Start-up, the load (or the tagged buffers), the Verify tick, Silent and Start: the order of
// the terminal front end.
RunResult RunUpdate(const Config& c, const Bytes& image, const Bytes& container,
                    const std::string& file, const std::vector<std::string>& faults) {
    RunResult r;
    emu::DriveSet drives = emu::DriveSet::FromJson(DriveJson(c, faults));
    drives.SetTrace([&r](const std::string& line) { r.trace.push_back(line); });
    EmulatedTransport emulated(drives);
    TimedTransport transport(drives, emulated);
    CampaignClock clock(drives);
    MemoryRegistry registry;
    RecordingRestart restart;
    CampaignView view(drives, r.trace);
    Presenter presenter(view, transport, clock, registry, restart, PlatformInfo{false, "Kfsflash"});

    const Bytes params = ParamBuffer(c);
    EmbeddedData embedded{params, {}};
    if (c.updater) {
        if (c.family.philips)
            embedded.firmware.Cvt = container;
        else
            embedded.firmware.Kfs[0] = container;
    }
    if (presenter.Startup(embedded) != StartupOutcome::kReady) {
        r.loadProblem = view.boxes.empty() ? "start-up" : view.boxes.back().text;
        return r;
    }
    if (!c.updater && presenter.LoadFile(file) != LoadClickOutcome::kLoaded) {
        r.loadProblem = view.boxes.empty() ? "load" : view.boxes.back().text;
        return r;
    }
    presenter.OnSelDeviceChange(0);
    // Every update backs the drive up first, as the terminal front end's do.
    presenter.state().BackupBeforeFlash = true;
    presenter.state().BackupDirectory = BackupFolder();
    if (c.verify && !c.updater)
        presenter.OnVerifyClick(true);
    if (c.silent)
        presenter.OnMenuCommand(MenuCommand::kSilent);
    r.loaded = true;
    view.boxes.clear();
    view.everyLine.clear();
    r.flashBefore = drives.drive(0).rom();
    r.updateStart = r.trace.size();
    r.commandsBefore = drives.drive(0).commandCount();

    try {
        r.outcome = presenter.OnStartClick();
    } catch (const RunAway&) {
        r.runAway = true;
        return r;
    }
    // The flash is judged once the drive has settled: a drive told ready early (a disc-less
    // answer counts as ready) finishes programming on its own.
    drives.Advance(300000);

    r.errors = view.Texts("error");
    r.errorAt = view.errorAt;
    r.lines = view.everyLine;
    r.backup = TakeBackup(r.lines);
    r.flashHoldsImage = FlashHoldsImage(c, drives.drive(0).rom(), image);
    r.flashMayHaveChanged = presenter.FlashMayHaveChanged();
    r.flashAsBefore = drives.drive(0).rom() == r.flashBefore;
    r.locked = drives.drive(0).locked;
    r.unlockRefused = !transport.lockTaken;
    r.windowEnabled = view.windowEnabled;
    r.controlsEnabled = view.controls[Control::kStart] && view.controls[Control::kLoadKfs] &&
                        view.controls[Control::kExit];
    r.busy = presenter.busy();
    return r;
}

// ------------------------------------------------------------------------------------------------
// Invariants

const std::vector<std::string> kProcedureTexts = {"Write Buffer Fail !",
                                                  "Wait Drive Ready TimeOut !\n",
                                                  "Flash progress TimeOut !\n",
                                                  "Trigger Fail !\n",
                                                  "Flash Error!",
                                                  "flash fail !\n",
                                                  "Get CheckSum Error!",
                                                  "CheckSum Error!",
                                                  "Flash Fail!"};
const std::vector<std::string> kVerifyTexts = {"Flash Verify Error!", "Get Checksum Error!",
                                               "ReadROM Error!"};
const std::vector<std::string> kReidentifyTexts = {
    "Get Drive ModelName Error!", "Get Drive Version Error!", "Get Drive DateCode Error!"};

bool In(const std::vector<std::string>& texts, const std::string& text) {
    return std::find(texts.begin(), texts.end(), text) != texts.end();
}

enum class TextKind { kProcedure, kVerify, kReidentify, kUnknown };

TextKind KindOf(const std::string& text, bool silent) {
    if (In(kProcedureTexts, text) || text.rfind("Firmware update failure (", 0) == 0)
        return TextKind::kProcedure;
    if (In(kVerifyTexts, text) || (silent && text.empty()))  // silent mode blanks these
        return TextKind::kVerify;
    if (In(kReidentifyTexts, text))
        return TextKind::kReidentify;
    return TextKind::kUnknown;
}

// Runs that met each invariant (and the ways they ended).
struct Tally {
    std::map<std::string, int> counts;
    void Add(const std::string& what) { ++counts[what]; }
};

// The backup taken before the write holds the flash as it was, from its start. Nothing when no
// backup was made (the drive refused ReadROM, and the user went on), else whether it matched.
std::optional<bool> CheckBackupEqualsFlashBefore(const RunResult& run) {
    if (!run.backup)
        return std::nullopt;
    const Bytes& b = *run.backup;
    return !b.empty() && b.size() <= run.flashBefore.size() &&
           std::equal(b.begin(), b.end(), run.flashBefore.begin());
}

// Checks one run; returns the problems found (empty when every invariant held).
std::vector<std::string> Check(const Config& c, const FaultPlan& plan, const RunResult& r,
                               Tally& tally) {
    std::vector<std::string> problems;
    const auto fail = [&](const std::string& what) { problems.push_back(what); };
    if (!r.loaded) {
        fail("the load failed: " + r.loadProblem);
        return problems;
    }
    if (r.runAway) {
        fail("the update does not end (an hour of drive time or a million commands)");
        return problems;
    }
    tally.Add("invariant: the update ends");
    const bool completedLine =
        std::find(r.lines.begin(), r.lines.end(), "All Completed!") != r.lines.end();

    // outcome
    if (r.errors.size() > 1)
        fail("more than one error box");
    const std::optional<std::string> error =
        r.errors.empty() ? std::nullopt : std::optional<std::string>(r.errors.front());
    const TextKind kind = error ? KindOf(*error, c.silent) : TextKind::kUnknown;
    const bool flashGood = r.flashHoldsImage;
    const bool reachedEnd = !error || kind == TextKind::kReidentify;
    if (error && kind == TextKind::kUnknown)
        fail("unknown failure text \"" + *error + "\"");
    if (!error && r.outcome != UpdateOutcome::kCompleted)
        fail("ended early without a failure text");
    if (error && r.outcome != UpdateOutcome::kEndedEarly)
        fail("a failure text, yet the update counts as completed");
    if (reachedEnd && !flashGood) {
        bool excused = !c.verify || c.family.philips;
        bool byDesign = plan.flip;
        for (const TracedCommand& t : plan.failed)
            byDesign |= UnexaminedByDesign(c, t, (c.imageSize + 40) / kBlock);
        if (!excused || !byDesign)
            fail("success, but the flash does not hold the image");
        else
            tally.Add("outcome: success, flash differs after an unexamined fault (no verify)");
    } else if (reachedEnd) {
        tally.Add(error ? "outcome: flashed, re-identification failed"
                        : "outcome: success, flash holds the image");
    } else {
        tally.Add("outcome: failure text");
    }
    if (!problems.empty())
        return problems;
    tally.Add("invariant: outcome");

    // completed
    if (error && kind != TextKind::kReidentify && completedLine)
        fail("\"All Completed!\" after a failure");
    if (!error && !c.silent && !completedLine)
        fail("success without \"All Completed!\"");
    if (problems.empty())
        tally.Add("invariant: no \"All Completed!\" on failure");

    // unlocked: the update's last lock command is an unlock, and the drive took it unless a
    // fault made it refuse
    std::string lastLock;
    for (std::size_t i = r.updateStart; i < r.trace.size(); ++i)
        if (r.trace[i].rfind("1e", 0) == 0)
            lastLock = r.trace[i];
    if (!lastLock.empty() && lastLock != "1e0000000000000000000000 none 0")
        fail("the last lock command is not an unlock");
    else if (r.locked && !r.unlockRefused)
        fail("the medium is left locked");
    else
        tally.Add(r.locked ? "invariant: medium unlocked (sent last; the drive refused it)"
                           : "invariant: medium unlocked");

    // window
    if (!r.windowEnabled || !r.controlsEnabled || r.busy)
        fail("the window is left disabled");
    else
        tally.Add("invariant: window enabled");

    // quiet: after a procedure's failure the workflow unlocks the medium and shows the text;
    // after a failed verification it unlocks once more; after a failed re-identification nothing.
    if (error) {
        const std::size_t at = r.errorAt.front();
        const std::vector<std::string> after(r.trace.begin() + static_cast<std::ptrdiff_t>(at),
                                             r.trace.end());
        const std::string unlock = "1e0000000000000000000000 none 0";
        std::vector<std::string> allowed;
        if (kind == TextKind::kVerify)
            allowed = {unlock};
        if (after != allowed)
            fail("commands after the failure text: " + std::to_string(after.size()));
        if (kind == TextKind::kProcedure && (at == 0 || r.trace[at - 1] != unlock))
            fail("the procedure's failure is not followed by the unlock alone");
        if (problems.empty())
            tally.Add("invariant: no command after a failure text");
    }

    // nothing written: a run whose writes the drive all refused (or never got) left its flash
    if (!r.flashMayHaveChanged) {
        if (!r.flashAsBefore)
            fail("no write command reached the drive, yet its flash changed");
        else
            tally.Add("invariant: no write taken, flash as before");
    }

    // backup
    if (const auto backup = CheckBackupEqualsFlashBefore(r)) {
        if (!*backup)
            fail("the backup differs from the flash before the update");
        else
            tally.Add("invariant: backup equals the flash before");
    } else {
        tally.Add("backup: not made");
    }
    return problems;
}

std::string Describe(const Config& c, const FaultPlan& plan) {
    char text[512];
    std::snprintf(text, sizeof text,
                  "family %s type %u%s, image %zu bytes, flash %u (seed %u)%s, %s role, verify %d, "
                  "silent %d, NoDisc %d, tray %s, disc %d, drive %s image %s",
                  c.family.name, c.family.type, c.family.philips ? " (Philips form)" : "",
                  c.imageSize, c.flashSize, c.romSeed, c.keepsChecksum ? ", keeps a check sum" : "",
                  c.updater ? "updater" : "flash utility", c.verify, c.silent, c.noDisc,
                  c.trayOpen ? "open" : "closed", c.medium, c.driveRevision.c_str(),
                  c.imageRevision.c_str());
    std::string faults;
    for (const auto& f : plan.json) faults += (faults.empty() ? "" : ", ") + f;
    return std::string(text) + "\n  faults: [" + faults + "]";
}

// The groups are shared out between two tests (even and odd group numbers), so that a parallel
// test run keeps both cores busy with the campaign; together they make the whole campaign.
void RunCampaign(std::uint64_t half) {
    const std::uint64_t seed = EnvNumber("KFS_CAMPAIGN_SEED", 20261210);
    const std::uint64_t runs = EnvNumber("KFS_CAMPAIGN_RUNS", 2000);
    const char* only = std::getenv("KFS_CAMPAIGN_GROUP");
    const std::uint64_t groups = (runs + kRunsPerGroup - 1) / kRunsPerGroup;
    std::printf("fault campaign: seed %llu, %llu runs in %llu groups, the %s ones here\n",
                static_cast<unsigned long long>(seed), static_cast<unsigned long long>(runs),
                static_cast<unsigned long long>(groups), half == 0 ? "even" : "odd");
    std::fflush(stdout);
    ::testing::Test::RecordProperty("campaign_seed", std::to_string(seed));

    Tally tally;
    int done = 0, failures = 0;
    const std::string dir = ::testing::TempDir();
    for (std::uint64_t g = 0; g < groups; ++g) {
        if (g % 2 != half || (only && *only && g != std::strtoull(only, nullptr, 0)))
            continue;
        // Each group draws from its own generator, so that one can be replayed alone.
        Rng rng(seed ^ (0x9E3779B97F4A7C15ull * (g + 1)));
        const Config c = MakeConfig(rng);
        const Bytes oldRom = emu::DriveSet::FromJson(DriveJson(c, {})).drive(0).rom();
        const Bytes image = MakeImage(c, oldRom, rng);
        const Bytes container = MakeContainer(c, image);
        const std::string file = dir + "fault_campaign_" + std::to_string(::getpid()) + ".kfs";
        {
            const Bytes bytes = c.family.philips ? PhilipsFileFromForm(container) : container;
            std::ofstream(file, std::ios::binary)
                .write(reinterpret_cast<const char*>(bytes.data()),
                       static_cast<std::streamsize>(bytes.size()));
        }

        std::vector<TracedCommand> update;
        std::uint64_t before = 0;
        for (std::uint64_t j = 0; j < kRunsPerGroup && g * kRunsPerGroup + j < runs; ++j) {
            const FaultPlan plan = j == 0 ? FaultPlan{} : MakeFaults(c, update, before, rng);
            const RunResult r = RunUpdate(c, image, container, file, plan.json);
            if (j == 0) {  // where the update's commands lie, for the runs with faults
                for (std::size_t i = r.updateStart; i < r.trace.size(); ++i)
                    update.push_back(Parse(r.trace[i]));
                before = r.commandsBefore;
            }
            ++done;
            tally.Add("runs");
            if (!plan.json.empty())
                tally.Add("runs with faults");
            const auto problems = Check(c, plan, r, tally);
            if (problems.empty())
                continue;
            ++failures;
            if (failures <= 10) {
                std::string text;
                for (const auto& p : problems) text += "\n  " + p;
                for (const auto& e : r.errors) text += "\n  error box: \"" + e + "\"";
                ADD_FAILURE() << "run " << j << " of group " << g
                              << " (replay: KFS_CAMPAIGN_SEED=" << seed
                              << " KFS_CAMPAIGN_GROUP=" << g << ")\n  " << Describe(c, plan)
                              << text;
            }
        }
        std::remove(file.c_str());
    }
    std::printf("fault campaign: seed %llu, %d runs, %d failed\n",
                static_cast<unsigned long long>(seed), done, failures);
    for (const auto& [what, n] : tally.counts) std::printf("  %-72s %d\n", what.c_str(), n);
    ::testing::Test::RecordProperty("campaign_runs", done);
    ::testing::Test::RecordProperty("campaign_failed_runs", failures);
    for (const auto& [what, n] : tally.counts) {
        std::string key = "campaign_";
        for (char ch : what) key += std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
        ::testing::Test::RecordProperty(key, n);
    }
    EXPECT_EQ(failures, 0);
}

TEST(FaultCampaign, EveryRunEndsInAStateTheUserCanTrustEvenGroups) { RunCampaign(0); }
TEST(FaultCampaign, EveryRunEndsInAStateTheUserCanTrustOddGroups) { RunCampaign(1); }

}  // namespace
}  // namespace kfs
