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

#include "container/kfs_parameter.h"
#include "drive/transport.h"

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

// One embedded container slot: its decoded description and its own image.
struct EmbeddedContainer {
    SKFSParameter parameter;
    std::vector<std::uint8_t> image;  // released (emptied) once the slot is refused or taken
    bool EmbeddedValid = true;
};

struct MainState {
    // Settings, each taken once from the parameter text at start-up.
    bool UpdaterRole = false;
    bool Silent = false;
    bool OverwriteReservedBlocks = false;
    bool EraseUnusedBlocks = true;
    bool Verify = true;
    bool NoDisc = true;
    bool CheckSum = true;
    bool HardwareID = true;
    bool ModelName = false;
    bool AvailableModel = false;
    // [AvailableModelNames], kept for every later matching.
    std::vector<std::string> AvailableModelNames;
    // The "Drive" command's tag: the default drive index.
    int DefaultDriveIndex = -1;
    // The application title: caption of the information boxes.
    std::string Title;

    // Firmware.
    std::vector<std::uint8_t> CurrentImage;
    std::uint32_t ImageLength = 0;
    SKFSParameter CurrentContainer;
    std::array<EmbeddedContainer, 3> EmbeddedContainers;  // slots 1 to 3
    int ConformingCount = 0;
    bool ContainerChosen = false;
    bool PhilipsImage = false;
    std::uint16_t ExpectedCheckSum = 0;
    // Verification lists both check sums (toggled by a double click on the status bar).
    bool ShowCheckSumDetail = false;

    // Drives: entry i of the drive list SelDevice is drive MatchedDrives[i].
    std::vector<DriveIndex> MatchedDrives;
    std::vector<std::string> DriveEntries;  // SelDevice's items
    int SelectedEntry = -1;                 // SelDevice's item index, -1: none

    MessageBuffer Messages;
};

}  // namespace kfs
