#pragma once
// Which drives may be updated and with which firmware container: the drive list (`SelDevice`
// with `MatchedDrives`), the matching of drives against the firmware at hand, and the choice of
// the embedded container for the selected drive.
//
// Everything here works on plain data that the main window owns; the caller shows the returned
// message in an "Error" box and copies the list, the status text and the two edits to its
// controls. Nothing here touches a window.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "container/kfs_parameter.h"
#include "container/parameters.h"
#include "drive/transport.h"
#include "flash/clock.h"

namespace kfs {

// nullopt: success. A text, even an empty one (silent mode blanks the message table), is a
// failure that the caller shows.
using MatchMessage = std::optional<std::string>;

// One embedded container slot (1 to 3). A released slot has an empty image and is never tested
// again.
struct EmbeddedContainer {
    SKFSParameter Parameter;
    std::vector<std::uint8_t> Image;
    bool EmbeddedValid = true;

    void Release() {
        Image.clear();
        Image.shrink_to_fit();
        EmbeddedValid = false;
    }
};

// The firmware state of the main window.
struct FirmwareState {
    bool UpdaterRole = false;
    // The image a Start writes; its size is the image length. Empty: no firmware.
    std::vector<std::uint8_t> CurrentImage;
    SKFSParameter CurrentContainer;
    std::array<EmbeddedContainer, 3> EmbeddedContainers;  // slot n is [n - 1]
    int ConformingCount = 0;
    bool ContainerChosen = false;
    bool PhilipsImage = false;
    std::string Member;                  // the zip archive's member it came from, if any
    std::uint16_t ExpectedCheckSum = 0;  // shown in Edit2; verification compares with it

    std::uint32_t ImageLength() const { return static_cast<std::uint32_t>(CurrentImage.size()); }
    // Makes slot `index` (0 to 2) the current container and releases its image.
    void MakeSlotCurrent(std::size_t index);
};

// The drive drop-down list and the drive indices behind its entries: entry i is the drive
// MatchedDrives[i] whenever MatchDrives last succeeded.
struct DriveList {
    std::vector<std::string> Items;
    int ItemIndex = -1;  // selected entry, -1: none
    bool Enabled = false;
    std::vector<DriveIndex> MatchedDrives;
    std::string StatusText;  // panel 0 of the status bar: the selected entry's first 36 characters

    // The selected entry's text, or "" when nothing is selected.
    std::string SelectedText() const;
    // The drive behind the selected entry; nullopt when nothing is selected or the selection has
    // no drive in MatchedDrives (never an index past its end).
    std::optional<DriveIndex> SelectedDrive() const;
    // Selects entry `index` (ignored when out of range) and refreshes StatusText.
    void Select(int index);
};

// The settings the matching consults.
struct MatchSettings {
    bool CheckSum = true;
    bool HardwareID = true;
    bool ModelName = false;
    bool AvailableModel = false;
    std::vector<std::string> AvailableModelNames;

    static MatchSettings From(const SParameter& p);
};

// The selected-file box (Edit1) and the check-sum box (Edit2).
struct FirmwareBoxes {
    std::string Edit1;
    std::string Edit2;
};

// Characters of an entry shown in the status bar, and of it compared across list refills.
inline constexpr std::size_t kStatusTextLength = 36;
inline constexpr std::size_t kModelNameLength = 24;

// True when the model name begins with the 7 characters "PIONEER".
bool IsPioneerModel(const std::string& modelName);

// Entry text: model + " " + version + " " + date code.
std::string DriveEntryText(const std::string& modelName, const std::string& version,
                           const std::string& dateCode);

// Reads a drive's identity and builds its entry. The date code is read only in the flash utility
// role and for a model name that does not begin with "PIONEER"; otherwise the entry ends with
// the blank.
std::string ReadDriveEntry(Transport& transport, DriveIndex drive, bool updaterRole);

// Flash utility role at start-up: every drive of the transport, in index order, with its entry
// (identification failures give empty fields, not errors). Selects the first entry and enables
// the list; MatchedDrives stays empty. "No Drive found !" when the transport knows no drive
// (the list is then left as it was).
MatchMessage ListAllDrives(Transport& transport, DriveList& list);

// Settles the containers and keeps the drives that fit the firmware at hand, then refills the
// list, keeping the previous selection when its model name is still listed.
// On failure MatchedDrives holds the drives accepted before it and the list is cleared (no
// entries, nothing selected, disabled), so that no entry points past MatchedDrives; the caller
// keeps Start disabled. A drive whose model name begins with "PIONEER" is waited for with
// WaitDriveReady (120 seconds on `clock`) before it is matched.
// Messages: "Load KFS Fail!" (ErrorMessages entry 1), "Updater is corrupt !", the message of
// CheckContainer, "Get Drive Modelname error", "Wait For Ready error", "No matched devices !".
MatchMessage MatchDrives(Transport& transport, Clock& clock, const MatchSettings& settings,
                         FirmwareState& firmware, DriveList& list);

// Settles the container for the selected drive and fills the two boxes and ExpectedCheckSum.
// Messages: "The number of conforming KFS are more than one.\n", "No conforming KFS".
// Edit2 is cleared first, also when a message is returned.
MatchMessage SelectContainer(Transport& transport, FirmwareState& firmware, const DriveList& list,
                             FirmwareBoxes& boxes);

// The texts returned above.
inline constexpr char kUpdaterCorrupt[] = "Updater is corrupt !";
inline constexpr char kNoDriveFound[] = "No Drive found !";
inline constexpr char kModelNameReadError[] = "Get Drive Modelname error";
inline constexpr char kWaitForReadyError[] = "Wait For Ready error";
inline constexpr char kNoMatchedDevices[] = "No matched devices !";
inline constexpr char kMoreThanOneConforming[] =
    "The number of conforming KFS are more than one.\n";
inline constexpr char kNoConformingKfs[] = "No conforming KFS";
inline constexpr char kPhilipsModelText[] = "KEMO    VRZ-3350A";

}  // namespace kfs
