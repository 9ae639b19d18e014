#pragma once
// What a flash procedure and the verification work on: the drive, the firmware image with its
// decoded container description, and the main window's services (view, transport, clock).
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "container/kfs_parameter.h"
#include "drive/transport.h"
#include "flash/clock.h"
#include "flash/flash_view.h"

namespace kfs {

// Null (nullopt) on success, otherwise the text to show; an empty text still means failure.
using FlashResult = std::optional<std::string>;

struct FlashJob {
    Transport& transport;
    Clock& clock;
    FlashView& view;
    DriveIndex drive = 0;
    // CurrentImage: bank i of the container at offset i * 65536. Read only: a byte that must go
    // out as zero is zeroed in the copy that is sent.
    const std::vector<std::uint8_t>& image;
    const SKFSParameter& container;
    bool philipsImage = false;  // PhilipsImage
    bool updaterRole = false;   // UpdaterRole: verification's texts differ
    bool silent = false;        // Silent: verification blanks some texts
    // Working storage: the last sense data read by a procedure.
    SenseData sense{};
};

}  // namespace kfs
