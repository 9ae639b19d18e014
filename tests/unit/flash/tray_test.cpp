#include "flash/tray.h"

#include <gtest/gtest.h>

#include <functional>

#include "procedure_rig.h"

namespace kfs {
namespace {

using test::Rig;

// A view whose questions are answered by the test, which may act on the drive meanwhile (push
// the tray in, take the disc out).
struct Operator : test::RecordingView {
    std::function<bool(const std::string&, emu::Drive&)> answer;
    emu::Drive* drive = nullptr;
    bool AskOkCancel(const std::string& text, const std::string& caption) override {
        RecordingView::AskOkCancel(text, caption);
        return answer(text, *drive);
    }
};

const char kClose[] = "Please close the tray and click OK to continue !";
const char kRemove[] = "Please remove your disc from the tray and click OK to continue !";

struct TrayCase {
    const char* name;
    std::string fields;
    std::function<bool(const std::string&, emu::Drive&)> answer;
    bool result;
    std::vector<std::string> questions;
    std::uint64_t waitedMs;
};

class EnsureTrayClosedAndEmptyCases : public testing::TestWithParam<TrayCase> {};

TEST_P(EnsureTrayClosedAndEmptyCases, EndWithTheTrayClosedAndEmptyOrTheUsersCancel) {
    const TrayCase& c = GetParam();
    Rig rig(FlashFamily::A0, c.fields);
    Operator view;
    view.drive = &rig.drives.drive(0);
    view.answer = c.answer;
    EXPECT_EQ(EnsureTrayClosedAndEmpty(rig.tampering, rig.clock, view, 0), c.result);
    std::vector<std::string> questions;
    for (const auto& box : view.boxes) {
        EXPECT_EQ(box.kind, "question");
        EXPECT_EQ(box.caption, "Check");
        questions.push_back(box.text);
    }
    EXPECT_EQ(questions, c.questions);
    EXPECT_EQ(rig.drives.Now(), c.waitedMs);
    if (c.result) {
        EXPECT_FALSE(rig.drive().trayOpen);
        EXPECT_FALSE(rig.drive().medium);
    }
}

const auto kPushTrayIn = [](const std::string&, emu::Drive& d) {
    d.trayOpen = false;
    return true;
};
const auto kCancel = [](const std::string&, emu::Drive&) { return false; };
// Takes the disc out of the ejected tray; in manual mode also pushes the tray in when asked.
const auto kTakeDiscOut = [](const std::string& text, emu::Drive& d) {
    if (text == kRemove)
        d.medium = false;
    else
        d.trayOpen = false;
    return true;
};
// A tray the drive cannot load: every LOAD fails with a sense other than 6/1Dh.
const std::string kManual = R"(, "faults": [{"command": "1b", "sense": "02/3a/02"}])";

INSTANTIATE_TEST_SUITE_P(
    Modes, EnsureTrayClosedAndEmptyCases,
    testing::Values(
        TrayCase{"ClosedAndEmpty", "", kCancel, true, {}, 0},
        // 6/1Dh on the first load still lets the drive close its tray by command.
        TrayCase{
            "AutomaticClose",
            R"(, "tray_open": true, "faults": [{"command": "1b", "nth": 1, "sense": "06/1d/00"}])",
            kCancel,
            true,
            {},
            5000},
        TrayCase{
            "ManualClose", R"(, "tray_open": true)" + kManual, kPushTrayIn, true, {kClose}, 5000},
        TrayCase{"ManualCancel", R"(, "tray_open": true)" + kManual, kCancel, false, {kClose}, 0},
        // The disc is ejected, taken out, and the tray closed again by command.
        TrayCase{
            "AutomaticDiscRemoved", R"(, "medium": true)", kTakeDiscOut, true, {kRemove}, 10000},
        // Manual mode is chosen by the first load; the eject itself works.
        TrayCase{
            "ManualDiscRemoved",
            R"(, "medium": true, "faults": [{"command": "1b", "nth": 1, "sense": "02/3a/02"}])",
            kTakeDiscOut,
            true,
            {kRemove, kClose},
            10000},
        TrayCase{"DiscCancel", R"(, "medium": true)", kCancel, false, {kRemove}, 5000},
        // The first load works, a later one is refused: the user is asked to close the tray
        // rather than the load being sent for ever.
        TrayCase{
            "AutomaticLoadRefusedLater",
            R"(, "medium": true, "faults": [{"command": "1b", "sense": "02/3a/02", "from": 5}])",
            kTakeDiscOut,
            true,
            {kRemove, kClose},
            10000}),
    [](const auto& info) { return std::string(info.param.name); });

// With a bound, a user who keeps answering OK to a disc that is put back each time, or a drive
// whose tray never closes, ends the check with an error box instead of a loop.
struct BoundCase {
    const char* name;
    std::string fields;
    std::size_t questions;
};

class BoundedTrayCases : public testing::TestWithParam<BoundCase> {};

TEST_P(BoundedTrayCases, GiveUpAfterTheBound) {
    const BoundCase& c = GetParam();
    Rig rig(FlashFamily::A0, c.fields);
    Operator view;
    view.drive = &rig.drives.drive(0);
    view.answer = [](const std::string&, emu::Drive& d) {
        d.medium = true;  // the disc goes back in
        return true;
    };
    EXPECT_FALSE(EnsureTrayClosedAndEmpty(rig.tampering, rig.clock, view, 0, 3));
    ASSERT_EQ(view.boxes.size(), c.questions + 1);
    EXPECT_EQ(view.boxes.back().kind, "error");
    EXPECT_NE(view.boxes.back().text.find("after 3 attempts"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Bounds, BoundedTrayCases,
    testing::Values(
        // Close, question, close, question: the fourth attempt gives up.
        BoundCase{"DiscPutBack", R"(, "medium": true)", 2},
        // Every LOAD is refused with 6/1Dh, which leaves the drive to close by command: only
        // attempts, no question.
        BoundCase{"TrayNeverCloses",
                  R"(, "tray_open": true, "faults": [{"command": "1b", "sense": "06/1d/00"}])", 0}),
    [](const auto& info) { return std::string(info.param.name); });

// A drive that takes every load but whose tray stays open: after a minute of loads the user is
// asked.
TEST(EnsureTrayClosedAndEmpty, ATrayThatStaysOpenIsTurnedOverToTheUserAfterAMinute) {
    Rig rig(FlashFamily::A0, R"(, "tray_open": true)");
    rig.tampering.tamper = [](int, Cdb& cdb, std::vector<std::uint8_t>&) {
        if (cdb[0] == 0x1B)
            cdb[4] = 0x01;  // start the unit, leave the tray where it is
    };
    Operator view;
    view.drive = &rig.drives.drive(0);
    view.answer = kPushTrayIn;
    EXPECT_TRUE(EnsureTrayClosedAndEmpty(rig.tampering, rig.clock, view, 0));
    ASSERT_EQ(view.boxes.size(), 1u);
    EXPECT_EQ(view.boxes[0].text, kClose);
    EXPECT_EQ(rig.Commands("1b").size(), 13u);  // the first load and twelve in the loop
    EXPECT_EQ(rig.drives.Now(), 13u * 5000);
}

TEST(EnsureTrayClosedAndEmpty, ClosedAndEmptyAsksTheDriveThreeQuestions) {
    Rig rig(FlashFamily::A0);
    test::RecordingView view;
    EXPECT_TRUE(EnsureTrayClosedAndEmpty(rig.tampering, rig.clock, view, 0));
    EXPECT_EQ(rig.trace, (std::vector<std::string>{"1b0100000300000000000000 none 0",
                                                   "4a0100001000000010000000 in 16",
                                                   "4a0100005000000010000000 in 16"}));
}

}  // namespace
}  // namespace kfs
