#pragma once
// The last start-up step: make the firmware and the drives ready for the role. The updater role
// decodes the firmware carried in the embedded buffers and matches drives and container; the
// flash utility role lists every drive and waits for a file to be loaded.
#include <array>
#include <cstdint>
#include <span>
#include <string>

#include "app/drive_matching.h"
#include "drive/transport.h"

namespace kfs {

// The data areas of the four firmware buffers: the convert buffer ("CVT FILE BUFFER", a
// Philips form, length first) and the three KFS container buffers. A span's size is the
// buffer's capacity.
struct EmbeddedFirmware {
    std::span<const std::uint8_t> Cvt;
    std::array<std::span<const std::uint8_t>, 3> Kfs;

    // The buffers of this program (container/embedded_buffers.h).
    static EmbeddedFirmware FromProgram();
};

enum class PrepareOutcome {
    kReady,   // window shown; in the updater role "&Start" is enabled
    kGiveUp,  // show the box, stop start-up: window shown with the drive list and "&Start"
              // disabled, no notice
    kFail,    // show the box, the window is never shown, the program ends
};

struct PrepareResult {
    PrepareOutcome outcome = PrepareOutcome::kReady;
    std::string message;        // box text (caption "Error", also in silent mode) unless kReady
    bool startEnabled = false;  // updater role, kReady: enable "&Start"
};

// Updater role (firmware.UpdaterRole set): a convert buffer in the Philips form wins over the
// KFS buffers, which are then not looked at. "Updater is corrupt !" (kGiveUp) when the convert
// buffer's length is 40 or less or reaches past its capacity, when it does not decode, or when
// no KFS buffer decodes; the messages of MatchDrives and SelectContainer are kFail.
// In the flash utility role `embedded` is not looked at; "No Drive found !" is kFail; "&Start"
// stays disabled until a file is loaded.
PrepareResult PrepareFirmware(const EmbeddedFirmware& embedded, Transport& transport, Clock& clock,
                              const MatchSettings& settings, FirmwareState& firmware,
                              DriveList& list, FirmwareBoxes& boxes);

}  // namespace kfs
