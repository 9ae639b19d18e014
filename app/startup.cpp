// Start-up: everything that happens before the user can act.
#include <cctype>

#include "app/flash_backup.h"
#include "app/presenter.h"
#include "container/error_messages.h"
#include "container/parameters.h"

namespace kfs {

std::string ApplicationTitle(const std::string& programPath) {
    std::string name = programPath;
    const auto slash = name.find_last_of("/\\");
    if (slash != std::string::npos)
        name.erase(0, slash + 1);
    const auto dot = name.find('.');
    if (dot != std::string::npos)
        name.erase(dot);
    for (std::size_t i = 1; i < name.size(); ++i)
        name[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(name[i])));
    return name;
}

Presenter::Presenter(MainView& view, Transport& transport, Clock& clock, Registry& registry,
                     RestartService& restart, PlatformInfo platform)
    : recorder_(transport),
      view_(view),
      transport_(recorder_),
      clock_(clock),
      registry_(registry),
      restart_(restart),
      platform_(std::move(platform)) {
    state_.Title = platform_.title;
}

void Presenter::ReadSettings(const EmbeddedData& embedded) {
    SParameter p;
    ReadParameters(p, embedded.parameters);

    state_.Firmware.UpdaterRole = p.Updater;
    state_.Silent = p.ArgumentDefault.s;
    state_.OverwriteReservedBlocks = p.ArgumentDefault.k;
    state_.EraseUnusedBlocks = !p.ArgumentDefault.u;
    state_.Verify = p.Verify;
    state_.NoDisc = p.NoDisc;
    // The Windows program keeps its backups next to itself.
    state_.BackupBeforeFlash = p.BackupBeforeFlash;
    if (state_.BackupBeforeFlash)
        state_.BackupDirectory = ProgramDirectory();
    state_.Matching = MatchSettings::From(p);
    if (state_.Verify)
        view_.SetVerifyChecked(true);

    // Visibility from [Argument enabled], check marks and the drive tag from
    // [Argument default value].
    const SArgumentEnabled& on = p.ArgumentEnabled;
    const SArgumentDefaultValue& def = p.ArgumentDefault;
    const std::array<std::pair<MenuCommand, bool>, kMenuCommandCount> visible = {{
        {MenuCommand::kSilent, on.s},
        {MenuCommand::kCheckKfsFile, on.c},
        {MenuCommand::kCheckKfsBuffer, on.b},
        {MenuCommand::kHelp, on.h},
        {MenuCommand::kVersionInformation, on.v},
        {MenuCommand::kEraseFlashRom, on.e},
        {MenuCommand::kDrive, on.n},
        {MenuCommand::kOverwriteReservedBlocks, on.k},
        {MenuCommand::kKeepUnusedBlocks, on.u},
        {MenuCommand::kOutputDefaultParameterFile, on.p},
        {MenuCommand::kOutputParameterBuffer, on.m},
        {MenuCommand::kOutputKfsBuffer, on.o},
        {MenuCommand::kGetFixDataCheckSum, on.f},
        {MenuCommand::kGetTestParameterFile, on.t},
        {MenuCommand::kIgnoreAskingQuestions, on.y},
        {MenuCommand::kDisable98AutoDetectDrive, on.Disable98AutoInsertNotification},
    }};
    std::array<bool, kMenuCommandCount> visibility{};
    for (const auto& [command, shown] : visible)
        visibility[static_cast<std::size_t>(command)] = shown;
    view_.SetMenuVisibility(visibility);
    view_.SetMenuChecked(MenuCommand::kSilent, def.s);
    view_.SetMenuChecked(MenuCommand::kOverwriteReservedBlocks, def.k);
    view_.SetMenuChecked(MenuCommand::kKeepUnusedBlocks, def.u);
    view_.SetMenuChecked(MenuCommand::kIgnoreAskingQuestions, def.y);
    view_.SetMenuChecked(MenuCommand::kDisable98AutoDetectDrive,
                         def.Disable98AutoInsertNotification);
    state_.DefaultDriveIndex = def.n;

    caption_.showCaption = p.ShowCaption;
    caption_.showVersion = p.ShowVersion;
    caption_.showDate = p.ShowDate;
    caption_.programName = p.ProgramName;
}

void Presenter::BuildCaption() {
    std::string caption;
    if (caption_.showCaption) {
        caption = caption_.programName + " ";
        if (caption_.showVersion)
            caption += std::string(kProgramVersion) + " ";
        if (caption_.showDate)
            caption += kProgramDate;
    }
    view_.SetCaption(caption);
}

void Presenter::ShowError(const std::string& text) {
    ReportFailure(text);
    view_.ShowError(text, "Error");
}

void Presenter::SyncDriveList() {
    const DriveList& list = state_.SelDevice;
    view_.SetDriveEntries(list.Items);
    view_.SelectDriveEntry(list.ItemIndex);
    view_.SetStatusText(list.StatusText);
    view_.SetControlEnabled(Control::kSelDevice, list.Enabled);
}

void Presenter::SyncBoxes() {
    view_.SetEdit1Text(boxes_.Edit1);
    view_.SetEdit2Text(boxes_.Edit2);
}

StartupOutcome Presenter::Prepare(const EmbeddedData& embedded) {
    const PrepareResult result =
        PrepareFirmware(embedded.firmware, transport_, clock_, state_.Matching, state_.Firmware,
                        state_.SelDevice, boxes_);
    SyncDriveList();
    SyncBoxes();
    switch (result.outcome) {
        case PrepareOutcome::kReady:
            if (result.startEnabled)
                view_.SetControlEnabled(Control::kStart, true);
            return StartupOutcome::kReady;
        case PrepareOutcome::kGiveUp:
            view_.SetControlEnabled(Control::kSelDevice, false);
            ShowError(result.message);
            return StartupOutcome::kGaveUp;
        case PrepareOutcome::kFail:
            ShowError(result.message);
            return StartupOutcome::kFailed;
    }
    return StartupOutcome::kFailed;
}

StartupOutcome Presenter::Startup(const EmbeddedData& embedded) {
    state_.Messages.Clear();
    SetErrorMessages(false);
    ReadSettings(embedded);

    // Role layout: the file panel only in the flash utility role, where verification stays off
    // until the user ticks the box.
    view_.SetUpdaterLayout(state_.Firmware.UpdaterRole);
    if (!state_.Firmware.UpdaterRole) {
        view_.SetVerifyChecked(false);
        OnVerifyClick(false);
    }
    BuildCaption();
    view_.SetControlEnabled(Control::kSelDevice, false);
    view_.SetControlEnabled(Control::kStart, false);

    const StartupOutcome outcome = Prepare(embedded);
    if (outcome != StartupOutcome::kReady)
        return outcome;

    if (!state_.Silent) {
        for (const char* line :
             {"Important Notice:", "You must have the Administrator privilege",
              " to execute this utility.", "Do not restart or shutdown your system",
              " until it prompts you to do so.", "Violating the aformentioned may damage",
              " your drive!"})
            view_.AddLine(line);
    }
    return StartupOutcome::kReady;
}

}  // namespace kfs
