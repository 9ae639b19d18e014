// Scenario tests of the presenter on emulated drives, the emulator's clock and a recording view:
// start-up in both roles, the update with its questions and failure branches, the menu commands
// and the guard against a second action while one runs.
#include "app/presenter.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "app/load_firmware.h"
#include "app/sense_names.h"
#include "app/update_log.h"
#include "drive/auto_insert.h"
#include "emulator/adapters/emulated_transport.h"
#include "emulator/adapters/emulator_clock.h"
#include "emulator/emulator.h"
#include "support/firmware_fixtures.h"
#include "support/recording_view.h"

namespace kfs {
namespace {

using Bytes = std::vector<std::uint8_t>;
using test::RecordingView;

constexpr char kModel[] = "KEMO    VRZ-3372BL      ";

// A 128 KB image whose INQUIRY block carries the model above and the given identity.
Bytes Image(const std::string& revision, const std::string& hardwareId = "K1",
            std::size_t size = 0x20000) {
    return test::MakeImage({"KEMO", "VRZ-3372BL", revision, hardwareId, "061122"}, size);
}

// The drive family's container: a type 6 drive takes 64 KB banks.
Bytes Container(const Bytes& image, std::uint8_t atapiType = 6) {
    return test::MakeKfs(image, atapiType, /*ideFlashType=*/4, /*maxBankSize=*/0x10000);
}

std::string Drive(const std::string& revision, const std::string& extra = "",
                  const std::string& family = "mtk5") {
    return R"({"vendor": "KEMO", "product": "VRZ-3372BL", "revision": ")" + revision +
           R"(", "hardware_id": "K1", "date_code": "061001", "family": ")" + family + "\"" + extra +
           "}";
}
std::string Drives(const std::vector<std::string>& drives) {
    std::string json = R"({"drives": [)";
    for (std::size_t i = 0; i < drives.size(); ++i) json += (i ? "," : "") + drives[i];
    return json + "]}";
}

// A parameter buffer: the text, CR LF line ends, then its terminating zero.
Bytes Params(const std::vector<std::string>& lines) {
    std::string text;
    for (const auto& l : lines) text += l + "\r\n";
    Bytes b(text.begin(), text.end());
    b.push_back(0);
    return b;
}

// ctest runs each test in its own process, several at a time: the file name carries the test's
// name so that two tests never write the same file.
std::string WriteTemp(const std::string& name, const Bytes& bytes) {
    const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string path =
        ::testing::TempDir() + test->test_suite_name() + "." + test->name() + "." + name;
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    return path;
}

struct Bench {
    explicit Bench(const std::string& json, bool windows9x = false)
        : drives(emu::DriveSet::FromJson(json)),
          transport(drives),
          clock(drives),
          presenter(view, transport, clock, registry, restart,
                    PlatformInfo{windows9x, "Kfsflash"}) {}

    // Flash utility role with the given settings, then the container loaded from a file.
    void LoadedUtility(const Bytes& container, const std::vector<std::string>& params = {}) {
        paramBuffer = params.empty() ? Bytes{} : Params(params);
        ASSERT_EQ(presenter.Startup({paramBuffer, {}}), StartupOutcome::kReady);
        ASSERT_EQ(presenter.LoadFile(WriteTemp("presenter_fw.kfs", container)),
                  LoadClickOutcome::kLoaded)
            << (view.boxes.empty() ? "" : view.boxes.back().text);
    }
    // Updater role with the containers in the KFS buffers.
    StartupOutcome Updater(std::vector<Bytes> containers, std::vector<std::string> params = {}) {
        params.insert(params.begin(), {"[Main]", "Updater=1"});
        paramBuffer = Params(params);
        kfs = std::move(containers);
        EmbeddedData data{paramBuffer, {}};
        for (std::size_t i = 0; i < kfs.size(); ++i) data.firmware.Kfs[i] = kfs[i];
        return presenter.Startup(data);
    }

    emu::DriveSet drives;
    EmulatedTransport transport;
    EmulatorClock clock;
    MemoryRegistry registry;
    RecordingRestart restart;
    RecordingView view;
    Presenter presenter;
    Bytes paramBuffer;
    std::vector<Bytes> kfs;
};

// ------------------------------------------------------------------------------------------------
// Start-up

TEST(PresenterStartup, CaptionMenuVerifyAndNoticeFollowTheSettings) {
    const std::string kFull = "Kemo Flash KFS3 Utility v.5.11 Dec 22 2006";
    struct Case {
        const char* name;
        std::vector<std::string> params;  // empty: the built-in default text
        std::string caption;
        bool verify;         // Verify after start-up
        std::size_t notice;  // lines in the list
        bool silentVisible;
    };
    const std::vector<Case> cases = {
        {"built-in", {}, kFull, false, 7, true},
        {"utility ignores Verify=1", {"[Other settings]", "Verify=1"}, kFull, false, 7, true},
        {"no caption",
         {"[Main]", "ShowCaption=0", "ShowVersion=1", "ShowDate=1"},
         "",
         false,
         7,
         true},
        {"name only",
         {"[Main]", "ProgramName=X", "ShowVersion=0", "ShowDate=0"},
         "X ",
         false,
         7,
         true},
        {"silent, menu hidden",
         {"[Argument default value]", "s=1", "[Argument enabled]", "s=0"},
         kFull,
         false,
         0,
         false},
        {"hostile",
         {"\x01\xff[Main", "=", "[Main]]", "Updater", "Verify=yes"},
         kFull,
         false,
         7,
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bench bench(Drives({Drive("1.00")}));
        const Bytes params = c.params.empty() ? Bytes{} : Params(c.params);
        ASSERT_EQ(bench.presenter.Startup({params, {}}), StartupOutcome::kReady);
        EXPECT_EQ(bench.view.caption, c.caption);
        EXPECT_EQ(bench.presenter.state().Verify, c.verify);
        EXPECT_EQ(bench.view.verifyChecked, c.verify);
        EXPECT_EQ(bench.view.lines.size(), c.notice);
        EXPECT_EQ(bench.view.menuVisible[MenuCommand::kSilent], c.silentVisible);
        EXPECT_EQ(bench.view.updaterLayout, false);
        // Flash utility role: every drive listed, nothing to write yet.
        EXPECT_EQ(bench.view.entries,
                  std::vector<std::string>{std::string(kModel) + " 1.00 061001"});
        EXPECT_FALSE(bench.view.controls[Control::kStart]);
    }
}

TEST(PresenterStartup, NoticeLinesInOrder) {
    Bench bench(Drives({Drive("1.00")}));
    ASSERT_EQ(bench.presenter.Startup({}), StartupOutcome::kReady);
    EXPECT_EQ(bench.view.lines,
              (std::vector<std::string>{
                  "Important Notice:", "You must have the Administrator privilege",
                  " to execute this utility.", "Do not restart or shutdown your system",
                  " until it prompts you to do so.", "Violating the aformentioned may damage",
                  " your drive!"}));
}

TEST(PresenterStartup, ShippedUpdaterTextKeepsVerifyAndMatchesTheDrive) {
    std::ifstream in(std::string(KFS_SOURCE_DIR) + "/data/shipped-parameters.txt",
                     std::ios::binary);
    Bytes text((std::istreambuf_iterator<char>(in)), {});
    text.push_back(0);
    Bench bench(Drives({Drive("1.00")}));
    const Bytes container = Container(Image("1.10"));
    EmbeddedData data{text, {}};
    data.firmware.Kfs[0] = container;
    ASSERT_EQ(bench.presenter.Startup(data), StartupOutcome::kReady);
    EXPECT_EQ(bench.view.updaterLayout, true);
    EXPECT_TRUE(bench.presenter.state().Verify);
    EXPECT_TRUE(bench.view.controls[Control::kStart]);
    EXPECT_EQ(bench.view.entries, std::vector<std::string>{std::string(kModel) + " 1.00 "});
    EXPECT_EQ(bench.view.caption, "Kemo Flash KFS3 Utility v.5.11 Dec 22 2006");
}

TEST(PresenterStartup, CorruptUpdaterGivesUpWithTheWindowShown) {
    Bench bench(Drives({Drive("1.00")}));
    EXPECT_EQ(bench.Updater({Bytes(100, 0x55)}), StartupOutcome::kGaveUp);
    EXPECT_EQ(bench.view.Texts("error"), std::vector<std::string>{"Updater is corrupt !"});
    EXPECT_FALSE(bench.view.controls[Control::kStart]);
    EXPECT_FALSE(bench.view.controls[Control::kSelDevice]);
    EXPECT_TRUE(bench.view.lines.empty());
}

TEST(PresenterStartup, NoDriveEndsTheProgram) {
    Bench bench(R"({"drives": []})");
    EXPECT_EQ(bench.presenter.Startup({}), StartupOutcome::kFailed);
    EXPECT_EQ(bench.view.Texts("error"), std::vector<std::string>{"No Drive found !"});
}

TEST(PresenterStartup, ApplicationTitleFromTheProgramPath) {
    EXPECT_EQ(ApplicationTitle("C:\\Tools\\KFSFLASH.V5.EXE"), "Kfsflash");
    EXPECT_EQ(ApplicationTitle("/usr/bin/kfsflash"), "kfsflash");
}

// ------------------------------------------------------------------------------------------------
// The update

TEST(PresenterUpdate, WholeUpdateInTheFlashUtilityRole) {
    Bench bench(Drives({Drive("1.00")}));
    bench.LoadedUtility(Container(Image("1.10")));
    bench.presenter.OnVerifyClick(true);
    bench.view.answers = {false};  // the restart question
    EXPECT_EQ(bench.presenter.OnStartClick(), UpdateOutcome::kCompleted);
    EXPECT_TRUE(bench.view.Texts("error").empty());
    EXPECT_TRUE(bench.view.HasLine("Flashing finished !"));
    EXPECT_TRUE(bench.view.HasLine("Verification finished"));
    EXPECT_EQ(bench.view.lines.back(), "All Completed!");
    EXPECT_EQ(bench.drives.drive(0).flashCount(), 1);
    // The entry shows the identity the drive reports now; the window is usable again.
    EXPECT_EQ(bench.view.entries, std::vector<std::string>{std::string(kModel) + " 1.10 061122"});
    EXPECT_EQ(bench.view.status, (std::string(kModel) + " 1.10 061122").substr(0, 36));
    EXPECT_EQ(
        bench.view.Texts("question"),
        std::vector<std::string>{
            "After updating, the system must be restarted.\nClick Yes to reboot your system."});
    EXPECT_EQ(bench.restart.requests, 0);
    EXPECT_TRUE(bench.view.windowEnabled);
    EXPECT_TRUE(bench.view.controls[Control::kStart]);
    EXPECT_TRUE(bench.view.controls[Control::kExit]);
    EXPECT_FALSE(bench.drives.drive(0).locked);
}

TEST(PresenterUpdate, DowngradeQuestionComparesVersionsAsNumbers) {
    struct Case {
        const char* drive;
        const char* image;
        bool asked;
    };
    const Case cases[] = {
        {"1.10", "1.09", true},
        {"1.09", "1.10", false},
        {"1.10", "1.10", false},
        {"ABCD", "1.00", false},  // no number: 0
        {"1.00", "X.YZ", true},
        // Only decimal numbers count: hexadecimal, infinity and NaN forms read as 0.
        {"INF ", "1.00", false},
        {"1.00", "0x1A", true},
        {"1.00", "INF ", true},
        {" 2E1", "9.99", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.drive) + " against " + c.image);
        Bench bench(Drives({Drive(c.drive)}));
        bench.LoadedUtility(Container(Image(c.image)));
        bench.view.answers = {false};  // Cancel the first question asked
        const UpdateOutcome outcome = bench.presenter.OnStartClick();
        const std::string question =
            std::string(c.drive) + " is newer than " + c.image + " !! Update the drive ?";
        ASSERT_FALSE(bench.view.boxes.empty());
        if (c.asked) {
            EXPECT_EQ(bench.view.boxes.front().text, question);
            EXPECT_EQ(bench.view.boxes.front().caption, "Warning!");
            EXPECT_EQ(outcome, UpdateOutcome::kEndedEarly);
            EXPECT_EQ(bench.drives.drive(0).flashCount(), 0);
            EXPECT_TRUE(bench.view.windowEnabled);
        } else {
            EXPECT_NE(bench.view.boxes.front().text, question);
            EXPECT_EQ(bench.drives.drive(0).flashCount(), 1);
        }
    }
}

TEST(PresenterUpdate, Windows9xAutoInsertNotification) {
    const std::string device = "Enum\\SCSI\\KEMO____VRZ-3372BL______1\\0001";
    const std::string reboot =
        "Because of the distinction of Windows 95/98/ME operating system, it is necessary to "
        "reboot before updating. After rebooting, execute again to complete the updating "
        "process.\nAre you sure to continue?";
    const std::string activate = "Would you like to activate the auto-insert notification ?";
    struct Case {
        const char* name;
        std::uint8_t stored;
        std::deque<bool> answers;
        std::uint8_t after;
        int restarts;
        int flashes;
        std::vector<std::string> questions;
    };
    const std::vector<Case> cases = {
        {"on, cancel", 1, {false}, 1, 0, 0, {reboot}},
        {"on, OK: off and restart", 1, {true}, 0, 1, 0, {reboot}},
        {"off: flash, then switch on",
         0,
         {true, false},
         1,
         0,
         1,
         {activate,
          "After updating, the system must be restarted.\nClick Yes to reboot your system."}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bench bench(Drives({Drive("1.00")}), /*windows9x=*/true);
        bench.registry.SetValue(device, "RevisionLevel", MemoryRegistry::Text("1.00"));
        bench.registry.SetValue(device, "AutoInsertNotification", {c.stored});
        bench.LoadedUtility(Container(Image("1.10")));
        bench.view.answers = c.answers;
        bench.presenter.OnStartClick();
        EXPECT_EQ(bench.view.Texts("question"), c.questions);
        EXPECT_EQ(bench.registry.FindKey(device)->values["AutoInsertNotification"], Bytes{c.after});
        EXPECT_EQ(bench.restart.requests, c.restarts);
        EXPECT_EQ(bench.drives.drive(0).flashCount(), c.flashes);
        EXPECT_TRUE(bench.view.windowEnabled);
    }
}

TEST(PresenterUpdate, NtFamilyAsksNoAutoInsertQuestion) {
    Bench bench(Drives({Drive("1.00")}), /*windows9x=*/false);
    bench.LoadedUtility(Container(Image("1.10")));
    bench.presenter.OnStartClick();
    EXPECT_EQ(bench.view.Texts("question").size(), 1u);  // the restart question only
    EXPECT_EQ(bench.restart.requests, 1);                // OK to it
}

TEST(PresenterUpdate, TrayCheckLinesOnlyWithNoDisc) {
    for (const bool noDisc : {true, false}) {
        SCOPED_TRACE(noDisc);
        Bench bench(Drives({Drive("1.00")}));
        std::vector<std::string> seen;
        bench.view.onProcessMessages = [&] {
            if (!bench.view.lines.empty() &&
                (seen.empty() || seen.back() != bench.view.lines.back()))
                seen.push_back(bench.view.lines.back());
        };
        bench.LoadedUtility(Container(Image("1.10")),
                            {"[Other settings]", noDisc ? "NoDisc=1" : "NoDisc=0"});
        bench.presenter.OnVerifyClick(true);
        bench.view.lines.clear();
        // Lines that a later clear removes are caught as they pass by.
        RecordingView& v = bench.view;
        std::vector<std::string> all;
        v.onProcessMessages = [&] {
            for (const auto& l : v.lines)
                if (std::find(all.begin(), all.end(), l) == all.end())
                    all.push_back(l);
        };
        ASSERT_EQ(bench.presenter.OnStartClick(), UpdateOutcome::kCompleted);
        for (const auto& l : v.lines)
            if (std::find(all.begin(), all.end(), l) == all.end())
                all.push_back(l);
        const auto has = [&](const char* line) {
            return std::find(all.begin(), all.end(), line) != all.end();
        };
        EXPECT_EQ(has("Updating will not be executed until the tray is closed"), noDisc);
        EXPECT_EQ(has("Verifying will not be executed until the tray is closed"), noDisc);
        EXPECT_EQ(has(" without any media inside !"), noDisc);
    }
}

TEST(PresenterUpdate, FlashFailureBoxDependsOnTheRole) {
    // Every WRITE BUFFER fails.
    const std::string fault = R"(, "faults": [{"command": "3b", "nth": 0}])";
    {
        Bench bench(Drives({Drive("1.00", fault)}));
        bench.LoadedUtility(Container(Image("1.10")));
        EXPECT_EQ(bench.presenter.OnStartClick(), UpdateOutcome::kEndedEarly);
        const auto errors = bench.view.Texts("error");
        ASSERT_EQ(errors.size(), 1u);
        EXPECT_NE(errors[0], "Flash Fail!");
        EXPECT_FALSE(bench.drives.drive(0).locked);
        EXPECT_TRUE(bench.view.windowEnabled);
    }
    {
        Bench bench(Drives({Drive("1.00", fault)}));
        ASSERT_EQ(bench.Updater({Container(Image("1.10"))}), StartupOutcome::kReady);
        EXPECT_EQ(bench.presenter.OnStartClick(), UpdateOutcome::kEndedEarly);
        EXPECT_EQ(bench.view.Texts("error"), std::vector<std::string>{"Flash Fail!"});
        EXPECT_FALSE(bench.drives.drive(0).locked);
        // A failed update ends the refusal to let the session end, too.
        EXPECT_EQ(bench.view.updateRunning, (std::vector<bool>{true, false}));
    }
}

// Records what the presenter reports to the update log.
struct RecordingUpdateLog : UpdateLog {
    struct Failed {
        std::string text;
        FailureCause cause;
    };
    std::vector<UpdateStart> starts;
    std::vector<Failed> failures;
    std::vector<std::string> outcomes;
    void UpdateStarted(const UpdateStart& start) override { starts.push_back(start); }
    void Failure(const std::string& text, const FailureCause& cause) override {
        failures.push_back({text, cause});
    }
    void UpdateEnded(const std::string& outcome) override { outcomes.push_back(outcome); }
};

// The log gets the start, each failure with the command and sense behind it (also where the box
// hides the procedure's own text), and the outcome; the list and boxes are as without a log.
TEST(PresenterUpdateLog, StartFailuresWithTheirCauseAndOutcome) {
    const std::string writeRefused = R"(, "faults": [{"command": "3b", "nth": 0}])";
    const std::string flipped = R"(, "faults": [{"flip_flash_byte": 4660}])";
    struct Case {
        const char* name;
        std::string faults;
        bool updaterRole;
        std::string failure;  // "" for none
        bool causeIsCommand;
        std::string outcome;
    };
    const Case cases[] = {
        {"completed", "", false, "", false, "completed"},
        {"write refused", writeRefused, false, "*", true, "failed"},
        {"write refused, updater", writeRefused, true, "(shown as \"Flash Fail!\")", true,
         "failed"},
        {"check sum differs", flipped, false, "Flash Verify Error!", false, "failed"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bench bench(Drives({Drive("1.00", c.faults)}));
        RecordingUpdateLog log;
        bench.presenter.SetUpdateLog(&log);
        if (c.updaterRole) {
            ASSERT_EQ(bench.Updater({Container(Image("1.10"))}), StartupOutcome::kReady);
        } else {
            bench.LoadedUtility(Container(Image("1.10")));
        }
        bench.presenter.OnVerifyClick(true);
        bench.view.answers = {false};  // no restart
        bench.presenter.OnStartClick();

        ASSERT_EQ(log.starts.size(), 1u);
        EXPECT_EQ(log.starts[0].driveIndex, 0);
        EXPECT_EQ(log.starts[0].drive,
                  std::string(kModel) + " 1.00" + (c.updaterRole ? " " : " 061001"));
        EXPECT_EQ(log.starts[0].imageLength, 0x20000u);
        EXPECT_EQ(log.outcomes, std::vector<std::string>{c.outcome});
        if (c.failure.empty()) {
            EXPECT_TRUE(log.failures.empty());
            continue;
        }
        ASSERT_EQ(log.failures.size(), 1u);
        const auto& failure = log.failures[0];
        // The list and boxes keep their texts; the log has the procedure's text.
        const auto errors = bench.view.Texts("error");
        ASSERT_EQ(errors.size(), 1u);
        if (c.failure == "*")
            EXPECT_EQ(failure.text, errors[0]);
        else
            EXPECT_NE(failure.text.find(c.failure), std::string::npos) << failure.text;
        EXPECT_EQ(failure.cause.opcode.has_value(), c.causeIsCommand);
        if (c.causeIsCommand) {
            EXPECT_EQ(*failure.cause.opcode, 0x3B);
            EXPECT_EQ(DescribeSense(failure.cause.sense),
                      "05/24/00 ILLEGAL REQUEST, INVALID FIELD IN CDB");
        }
    }
}

// A write command whose status was lost is no failure of the procedure, but when verification
// then fails the log still names it, beside verification's own cause; and a drive that took
// none of the writes leaves the flash as it was.
TEST(PresenterUpdateLog, AFailedWriteIsNamedWhenALaterStepFails) {
    struct Case {
        const char* name;
        std::string faults;
        std::string described;  // DescribeCause of the one failure logged
        bool flashMayHaveChanged;
    } cases[] = {
        // The start of programming (the 11th WRITE BUFFER of two banks) loses its status, and
        // a flash byte does not take.
        {"status lost, then verification fails",
         R"(, "faults": [{"command": "3b", "nth": 11, "sense": "06/29/00", "carried_out": true},)"
         R"( {"flip_flash_byte": 4660}])",
         "command 3B WRITE BUFFER failed: sense 06/29/00 UNIT ATTENTION, POWER ON, RESET, OR BUS "
         "DEVICE RESET OCCURRED",
         true},
        {"every write never sent", R"(, "faults": [{"command": "3b", "nth": 0, "errno": 1}])",
         "command 3B WRITE BUFFER failed: system error 1", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bench bench(Drives({Drive("1.00", c.faults, "mtk5")}));
        RecordingUpdateLog log;
        bench.presenter.SetUpdateLog(&log);
        bench.LoadedUtility(Container(Image("1.10")));
        bench.presenter.OnVerifyClick(true);
        EXPECT_EQ(bench.presenter.OnStartClick(), UpdateOutcome::kEndedEarly);
        ASSERT_EQ(log.failures.size(), 1u);
        EXPECT_EQ(DescribeCause(log.failures[0].cause), c.described);
        EXPECT_EQ(bench.presenter.FlashMayHaveChanged(), c.flashMayHaveChanged);
    }
}

// Without an update nothing is logged: a failed load is no update failure.
TEST(PresenterUpdateLog, LoadFailureIsNotLogged) {
    Bench bench(Drives({Drive("1.00")}));
    RecordingUpdateLog log;
    bench.presenter.SetUpdateLog(&log);
    ASSERT_EQ(bench.presenter.Startup({}), StartupOutcome::kReady);
    EXPECT_EQ(bench.presenter.LoadFile(WriteTemp("broken.kfs", Bytes(100, 0x55))),
              LoadClickOutcome::kFailed);
    EXPECT_TRUE(log.starts.empty());
    EXPECT_TRUE(log.failures.empty());
}

TEST(PresenterUpdate, VerificationFailureEndsBeforeReidentification) {
    Bench bench(Drives({Drive("1.00", R"(, "faults": [{"flip_flash_byte": 4660}])")}));
    bench.LoadedUtility(Container(Image("1.10")));
    bench.presenter.OnVerifyClick(true);
    EXPECT_EQ(bench.presenter.OnStartClick(), UpdateOutcome::kEndedEarly);
    EXPECT_EQ(bench.view.Texts("error"), std::vector<std::string>{"Flash Verify Error!"});
    EXPECT_FALSE(bench.view.HasLine("All Completed!"));
    EXPECT_TRUE(bench.view.Texts("question").empty());
    EXPECT_FALSE(bench.drives.drive(0).locked);
    EXPECT_TRUE(bench.view.windowEnabled);
}

// Fails the n-th INQUIRY after the update has completed: the re-identification.
class FailingInquiry : public Transport {
  public:
    FailingInquiry(Transport& inner, const RecordingView& view, int nth)
        : inner_(inner), view_(view), nth_(nth) {}
    CommandResult Execute(DriveIndex d, const Cdb& cdb, std::uint8_t* b, std::uint16_t l,
                          std::uint8_t dir, std::uint32_t t) override {
        if (cdb[0] == 0x12 && view_.HasLine("All Completed!") && ++seen_ == nth_)
            return CommandResult::Check(inner_.GetSenseData());
        return inner_.SendPacketCommand(d, cdb, b, l, dir, t);
    }
    SenseData GetSenseData() const override { return inner_.GetSenseData(); }
    int DriveCount() const override { return inner_.DriveCount(); }

  private:
    Transport& inner_;
    const RecordingView& view_;
    int nth_;
    int seen_ = 0;
};

TEST(PresenterUpdate, ReidentificationFailures) {
    const std::pair<int, const char*> cases[] = {{1, "Get Drive ModelName Error!"},
                                                 {2, "Get Drive Version Error!"},
                                                 {3, "Get Drive DateCode Error!"}};
    for (const auto& [nth, text] : cases) {
        SCOPED_TRACE(text);
        emu::DriveSet drives = emu::DriveSet::FromJson(Drives({Drive("1.00")}));
        EmulatedTransport emulated(drives);
        EmulatorClock clock(drives);
        MemoryRegistry registry;
        RecordingRestart restart;
        RecordingView view;
        FailingInquiry transport(emulated, view, nth);
        Presenter presenter(view, transport, clock, registry, restart, {false, "Kfsflash"});
        ASSERT_EQ(presenter.Startup({}), StartupOutcome::kReady);
        ASSERT_EQ(presenter.LoadFile(WriteTemp("reid.kfs", Container(Image("1.10")))),
                  LoadClickOutcome::kLoaded);
        EXPECT_EQ(presenter.OnStartClick(), UpdateOutcome::kEndedEarly);
        EXPECT_EQ(view.Texts("error"), std::vector<std::string>{text});
        // The entry keeps its old text; no restart question.
        EXPECT_EQ(view.entries, std::vector<std::string>{std::string(kModel) + " 1.00 061001"});
        EXPECT_TRUE(view.Texts("question").empty());
        EXPECT_TRUE(view.windowEnabled);
    }
}

TEST(PresenterUpdate, UnsupportedFlashTypeRefusedBeforeAnythingChanges) {
    for (const bool silent : {false, true}) {
        Bench bench(Drives({Drive("1.00")}));
        bench.LoadedUtility(Container(Image("1.10"), /*atapiType=*/0),
                            {"[Other settings]", "CheckSum=0"});
        if (silent)
            bench.presenter.OnMenuCommand(MenuCommand::kSilent);
        bench.view.boxes.clear();
        bench.view.lines = {"kept"};
        EXPECT_EQ(bench.presenter.OnStartClick(), UpdateOutcome::kEndedEarly);
        EXPECT_EQ(bench.view.Texts("error"),
                  silent ? std::vector<std::string>{}
                         : std::vector<std::string>{"Flash Type is not supported!"});
        EXPECT_EQ(bench.view.lines, std::vector<std::string>{"kept"});
        EXPECT_EQ(bench.drives.drive(0).flashCount(), 0);
    }
}

TEST(PresenterUpdate, SilentModeDropsProgressLinesButNotQuestions) {
    Bench bench(Drives({Drive("1.10")}));
    bench.LoadedUtility(Container(Image("1.09")), {"[Other settings]", "NoDisc=0"});
    bench.presenter.OnMenuCommand(MenuCommand::kSilent);
    bench.view.answers = {true, false};
    EXPECT_EQ(bench.presenter.OnStartClick(), UpdateOutcome::kCompleted);
    EXPECT_EQ(bench.view.Texts("question").size(), 2u);  // downgrade and restart
    EXPECT_FALSE(bench.view.HasLine("Updating"));
    EXPECT_FALSE(bench.view.HasLine("Flashing finished !"));
    EXPECT_FALSE(bench.view.HasLine("All Completed!"));
}

TEST(PresenterUpdate, UpdaterRoleEntryHasNoDateCode) {
    Bench bench(Drives({Drive("1.00")}));
    ASSERT_EQ(bench.Updater({Container(Image("1.10"))}), StartupOutcome::kReady);
    bench.view.answers = {false};
    EXPECT_EQ(bench.presenter.OnStartClick(), UpdateOutcome::kCompleted);
    EXPECT_EQ(bench.view.entries, std::vector<std::string>{std::string(kModel) + " 1.10 "});
}

TEST(PresenterUpdate, PhilipsImageIsNeitherTrayCheckedNorVerified) {
    Bench bench(Drives({Drive("1.00", "", "philips")}));
    const Bytes form = test::MakePhilipsForm(Image("1.10", "K1", 0x8000 - 40));
    EmbeddedData data{};
    const Bytes params =
        Params({"[Main]", "Updater=1", "[Other settings]", "Verify=1", "NoDisc=1"});
    data.parameters = params;
    data.firmware.Cvt = form;
    ASSERT_EQ(bench.presenter.Startup(data), StartupOutcome::kReady)
        << bench.view.Texts("error").front();
    ASSERT_TRUE(bench.presenter.state().Firmware.PhilipsImage);
    std::vector<std::string> all;
    bench.view.onProcessMessages = [&] {
        for (const auto& l : bench.view.lines) all.push_back(l);
    };
    bench.view.answers = {false};
    EXPECT_EQ(bench.presenter.OnStartClick(), UpdateOutcome::kCompleted)
        << (bench.view.boxes.empty() ? "" : bench.view.boxes.front().text);
    for (const auto& l : bench.view.lines) all.push_back(l);
    EXPECT_NE(std::find(all.begin(), all.end(), "Please wait for at least one minute!"), all.end());
    for (const auto& l : all) {
        EXPECT_EQ(l.find("tray is closed"), std::string::npos) << l;
        EXPECT_NE(l, "Read ROM Data");
        EXPECT_NE(l, "Getting CheckSum from drive !");
    }
    EXPECT_EQ(bench.drives.drive(0).flashCount(), 1);
}

// ------------------------------------------------------------------------------------------------
// Menu commands and controls

TEST(PresenterMenu, ToggleAndDriveBoxes) {
    Bench bench(Drives({Drive("1.00")}));
    ASSERT_EQ(bench.presenter.Startup({}), StartupOutcome::kReady);
    const std::pair<MenuCommand, const char*> steps[] = {
        {MenuCommand::kSilent, "Silent now"},
        {MenuCommand::kSilent, "Not Silent now"},
        {MenuCommand::kKeepUnusedBlocks, "Not Erase Unused Blocks now"},
        {MenuCommand::kKeepUnusedBlocks, "Erase Unused Blocks now"},
        {MenuCommand::kOverwriteReservedBlocks, "Erase Resrved Blocks now"},
        {MenuCommand::kOverwriteReservedBlocks, "Not Erase Reserved Blocks now"},
        {MenuCommand::kDrive, "Default Drive Index : -1"},
    };
    const auto checks = bench.view.menuChecked;
    for (const auto& [command, text] : steps) {
        bench.view.boxes.clear();
        bench.presenter.OnMenuCommand(command);
        ASSERT_EQ(bench.view.boxes.size(), 1u) << text;
        EXPECT_EQ(bench.view.boxes[0].kind, "information");
        EXPECT_EQ(bench.view.boxes[0].text, text);
        EXPECT_EQ(bench.view.boxes[0].caption, "Kfsflash");
    }
    EXPECT_EQ(bench.view.menuChecked, checks);  // check marks keep their start-up state

    // Commands without an action show nothing.
    bench.view.boxes.clear();
    for (MenuCommand c : {MenuCommand::kEraseFlashRom, MenuCommand::kHelp,
                          MenuCommand::kIgnoreAskingQuestions, MenuCommand::kCheckKfsFile})
        bench.presenter.OnMenuCommand(c);
    EXPECT_TRUE(bench.view.boxes.empty());
}

TEST(PresenterMenu, DriveShowsTheSelectedDriveIndexAfterMatching) {
    std::string other = Drive("1.00");
    other.replace(other.find("K1"), 2, "Z9");
    Bench bench(Drives({other, Drive("1.00")}));
    // Only the second drive matches the image's hardware identifier.
    bench.LoadedUtility(Container(Image("1.10")), {"[Other settings]", "HardwareID=1"});
    bench.presenter.OnMenuCommand(MenuCommand::kDrive);
    EXPECT_EQ(bench.view.Texts("information"),
              std::vector<std::string>{"Selected Drive Index : 1"});
}

TEST(PresenterMenu, OutputDefaultParameterFileOrCancel) {
    Bench bench(Drives({Drive("1.00")}));
    ASSERT_EQ(bench.presenter.Startup({}), StartupOutcome::kReady);
    const std::string path = ::testing::TempDir() + "presenter_default.ini";
    std::filesystem::remove(path);
    bench.presenter.OnMenuCommand(MenuCommand::kOutputDefaultParameterFile);  // cancelled
    EXPECT_FALSE(std::filesystem::exists(path));
    bench.view.savePath = path;
    bench.presenter.OnMenuCommand(MenuCommand::kOutputDefaultParameterFile);
    ASSERT_TRUE(std::filesystem::exists(path));
    std::ifstream in(path, std::ios::binary);
    std::string first;
    std::getline(in, first);
    EXPECT_EQ(first, "[Main]\r");
}

TEST(PresenterMenu, SelectionVerifyBoxAndStatusBar) {
    Bench bench(Drives({Drive("1.00"), Drive("2.00")}));
    ASSERT_EQ(bench.presenter.Startup({}), StartupOutcome::kReady);
    bench.presenter.OnSelDeviceChange(1);
    EXPECT_EQ(bench.view.status, (std::string(kModel) + " 2.00 061001").substr(0, 36));
    bench.presenter.OnVerifyClick(true);
    EXPECT_TRUE(bench.presenter.state().Verify);
    bench.presenter.OnStatusBarDoubleClick();
    EXPECT_TRUE(bench.presenter.state().ShowCheckSumDetail);
    bench.presenter.OnStatusBarDoubleClick();
    EXPECT_FALSE(bench.presenter.state().ShowCheckSumDetail);

    Bench empty(R"({"drives": []})");
    empty.presenter.OnSelDeviceChange(0);  // an empty list: nothing changes
    EXPECT_EQ(empty.view.status, "");
}

TEST(PresenterMenu, LoadDialogCancelKeepsEverything) {
    Bench bench(Drives({Drive("1.00")}));
    bench.LoadedUtility(Container(Image("1.10")));
    const auto image = bench.presenter.state().Firmware.CurrentImage;
    bench.view.openPath.reset();
    EXPECT_EQ(bench.presenter.OnLoadClick(), LoadClickOutcome::kCancelled);
    EXPECT_EQ(bench.presenter.state().Firmware.CurrentImage, image);
    EXPECT_TRUE(bench.view.controls[Control::kStart]);
}

// A container the decoding refuses is refused at load: it never becomes the current firmware, and
// Start, which a window offers only while enabled, stays off whether a firmware came before it
// or not; nothing reaches the drive.
TEST(PresenterMenu, ContainerTheDecodingRefusesNeverReachesStart) {
    Bytes truncated = Container(Image("1.10"));
    truncated.resize(truncated.size() - 0x100);
    for (const bool loadedBefore : {false, true}) {
        SCOPED_TRACE(loadedBefore ? "after a good load" : "first load");
        Bench bench(Drives({Drive("1.00")}));
        if (loadedBefore) {
            bench.LoadedUtility(Container(Image("1.20")));
        } else {
            ASSERT_EQ(bench.presenter.Startup({}), StartupOutcome::kReady);
        }
        const Bytes before = bench.presenter.state().Firmware.CurrentImage;
        bench.view.boxes.clear();

        EXPECT_EQ(bench.presenter.LoadFile(WriteTemp("truncated.kfs", truncated)),
                  LoadClickOutcome::kFailed);
        EXPECT_EQ(bench.view.Texts("error"), std::vector<std::string>{"Not Valid KFS !"});
        EXPECT_EQ(bench.presenter.state().Firmware.CurrentImage, before);
        EXPECT_FALSE(bench.view.controls[Control::kStart]);
        if (bench.view.controls[Control::kStart])
            bench.presenter.OnStartClick();
        EXPECT_EQ(bench.drives.drive(0).flashCount(), 0);
    }
}

TEST(PresenterGuard, SecondActionRefusedWhileAnUpdateRuns) {
    Bench bench(Drives({Drive("1.00")}));
    bench.LoadedUtility(Container(Image("1.10")));
    int attempts = 0;
    bool allRefused = true;
    bench.view.onProcessMessages = [&] {
        if (attempts++ > 3)
            return;
        allRefused &= bench.presenter.OnStartClick() == UpdateOutcome::kRefused;
        allRefused &= bench.presenter.OnLoadClick() == LoadClickOutcome::kRefused;
        allRefused &= !bench.presenter.OnExitClick();
        allRefused &= bench.view.updateRunning == std::vector<bool>{true};
    };
    bench.view.answers = {false};
    EXPECT_EQ(bench.presenter.OnStartClick(), UpdateOutcome::kCompleted);
    // The window knew the whole time that an update ran, and knows it has ended.
    EXPECT_EQ(bench.view.updateRunning, (std::vector<bool>{true, false}));
    EXPECT_GT(attempts, 0);
    EXPECT_TRUE(allRefused);
    EXPECT_EQ(bench.view.closes, 0);
    EXPECT_EQ(bench.drives.drive(0).flashCount(), 1);
    bench.view.onProcessMessages = nullptr;
    EXPECT_TRUE(bench.presenter.OnExitClick());  // idle again
    EXPECT_EQ(bench.view.closes, 1);
}

TEST(MessageBuffer, FormattingIsBounded) {
    MessageBuffer buffer;
    const std::string longText(1000, 'x');
    buffer.Format("%s%d", longText.c_str(), 42);
    EXPECT_EQ(std::strlen(buffer.text()), MessageBuffer::kSize - 1);
    EXPECT_STREQ(buffer.Format("Flash Bank: %d Address: %04Xh", 3, 0x1F0),
                 "Flash Bank: 3 Address: 01F0h");
}

}  // namespace
}  // namespace kfs
