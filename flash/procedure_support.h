#pragma once
// Pieces the flash procedures share: the opening lines, the texts they return, and reading the
// image in command-sized pieces without ever reading past its end.
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "flash/flash_job.h"

namespace kfs {

inline constexpr const char* kWriteBufferFail = "Write Buffer Fail !";
inline constexpr const char* kWaitDriveReadyTimeOut = "Wait Drive Ready TimeOut !\n";
inline constexpr const char* kFlashProgressTimeOut = "Flash progress TimeOut !\n";
inline constexpr const char* kTriggerFail = "Trigger Fail !\n";

// A command that makes the drive program what it received (a trigger, a save, the last block of
// an image) and whose status did not come back good may still have started programming: a drive
// that restarts into programming can lose the status (an error of the transport or the adapter)
// or report the restart as a unit attention; the wait that follows tells. It certainly did not
// start when the command never reached the drive, or when the drive answered with any other
// sense: then the drive was told nothing to program and the procedure must say so.
bool TriggerRefused(const CommandResult& result);

// The three lines every bank-writing procedure shows before it starts; `pleaseWait` is the
// middle one.
void AddOpeningLines(FlashView& view,
                     const std::string& pleaseWait = "Please wait for at least one minute!");

// A piece of the image for one data-out command: points into the image when the whole piece lies
// inside it and carries none of the `cleared` image positions, otherwise into a zero-filled copy,
// so that bytes beyond the image and the cleared bytes go out as zeros.
class ImagePiece {
  public:
    ImagePiece(const std::vector<std::uint8_t>& image, std::size_t offset, std::size_t length,
               std::span<const std::size_t> cleared = {});
    const std::uint8_t* data() const { return data_; }

  private:
    std::vector<std::uint8_t> copy_;
    const std::uint8_t* data_ = nullptr;
};

}  // namespace kfs
