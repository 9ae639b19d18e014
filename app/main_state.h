#pragma once
// The application state that the main window owns for the whole run: the settings copied from the
// parameter text at start-up, the firmware at hand, the drives matched to it, and the program-wide
// message buffer. Start-up fills it; the workflow, the load and the menu commands read and change
// it.
#include <array>
#include <cstdarg>
#include <cstdint>
#include <string>
#include <vector>

#include "app/drive_matching.h"

namespace kfs {

// The program-wide 256-character text buffer into which progress and result texts are formatted.
// Formatting is bounded: a text that does not fit is cut, never written past the buffer's end.
class MessageBuffer {
  public:
    static constexpr std::size_t kSize = 256;

    // printf-style; returns the (possibly cut) text now held.
    const char* Format(const char* format, ...) __attribute__((format(printf, 2, 3)));
    const char* text() const { return text_.data(); }
    void Clear() { text_.fill('\0'); }

  private:
    std::array<char, kSize> text_{};
};

struct MainState {
    // Settings, each taken once from the parameter text at start-up. UpdaterRole lives in
    // Firmware, the matching switches and [AvailableModelNames] in Matching.
    bool Silent = false;
    bool OverwriteReservedBlocks = false;
    bool EraseUnusedBlocks = true;
    bool Verify = true;
    bool NoDisc = true;
    // Back up the flash range an update overwrites before its first write, into BackupDirectory
    // (empty: the working directory).
    bool BackupBeforeFlash = false;
    std::string BackupDirectory;
    MatchSettings Matching;
    // The "Drive" command's tag: the default drive index.
    int DefaultDriveIndex = -1;
    // The application title: caption of the information boxes.
    std::string Title;

    // The firmware at hand: UpdaterRole, CurrentImage (its size is ImageLength),
    // CurrentContainer, EmbeddedContainers, ConformingCount, ContainerChosen, PhilipsImage,
    // ExpectedCheckSum.
    FirmwareState Firmware;
    // The drive list SelDevice: entry i is drive MatchedDrives[i].
    DriveList SelDevice;
    // Verification lists both check sums (toggled by a double click on the status bar).
    bool ShowCheckSumDetail = false;

    MessageBuffer Messages;
};

}  // namespace kfs
