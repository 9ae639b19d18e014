#include "app/load_firmware.h"

#include <cstdio>
#include <memory>

#include "container/file_helpers.h"
#include "container/kfs_decode.h"
#include "unzip.h"

namespace kfs {

namespace {

enum class Unpack { kExtracted, kNotValid };

struct ZipCloser {
    void operator()(void* zip) const { unzClose(static_cast<unzFile>(zip)); }
};

// Streams the current member into `tempFile`, refusing one that grows past the limit (whatever
// its header claims). A read error leaves no file behind, so the caller finds nothing to use.
Unpack ExtractCurrentMember(unzFile zip, const std::string& tempFile) {
    if (unzOpenCurrentFile(zip) != UNZ_OK)
        return Unpack::kExtracted;
    std::FILE* out = std::fopen(tempFile.c_str(), "wb");
    if (!out) {
        unzCloseCurrentFile(zip);
        return Unpack::kExtracted;
    }
    std::vector<char> chunk(64 * 1024);
    std::uint64_t total = 0;
    bool failed = false, tooLarge = false;
    for (;;) {
        const int got = unzReadCurrentFile(zip, chunk.data(), static_cast<unsigned>(chunk.size()));
        if (got == 0)
            break;
        if (got < 0) {
            failed = true;
            break;
        }
        total += static_cast<std::uint64_t>(got);
        if (total > kMaxFirmwareFileSize) {
            tooLarge = true;
            break;
        }
        if (std::fwrite(chunk.data(), 1, static_cast<std::size_t>(got), out) !=
            static_cast<std::size_t>(got)) {
            failed = true;
            break;
        }
    }
    if (std::fclose(out) != 0)
        failed = true;
    if (unzCloseCurrentFile(zip) != UNZ_OK && !tooLarge)
        failed = true;  // a check sum error
    if (failed || tooLarge)
        std::remove(tempFile.c_str());
    return tooLarge ? Unpack::kNotValid : Unpack::kExtracted;
}

// Extracts the archive's last member to `tempFile`: each member would replace the one before,
// so only the last one is written. kNotValid for an archive that cannot be opened, has no
// members, or whose last member is larger than any container.
Unpack ExtractLastMember(const std::string& archive, const std::string& tempFile) {
    std::unique_ptr<void, ZipCloser> zip(unzOpen(archive.c_str()));
    if (!zip)
        return Unpack::kNotValid;
    unz_global_info global{};
    if (unzGetGlobalInfo(zip.get(), &global) != UNZ_OK || global.number_entry == 0)
        return Unpack::kNotValid;

    std::remove(tempFile.c_str());
    if (unzGoToFirstFile(zip.get()) != UNZ_OK)
        return Unpack::kExtracted;
    for (uLong i = 1; i < global.number_entry; ++i)
        if (unzGoToNextFile(zip.get()) != UNZ_OK)
            return Unpack::kExtracted;

    unz_file_info info{};
    if (unzGetCurrentFileInfo(zip.get(), &info, nullptr, 0, nullptr, 0, nullptr, 0) != UNZ_OK)
        return Unpack::kExtracted;
    if (info.uncompressed_size > kMaxFirmwareFileSize)
        return Unpack::kNotValid;
    return ExtractCurrentMember(zip.get(), tempFile);
}

FirmwareFileResult Refuse(const char* message, bool startDisabled) {
    FirmwareFileResult result;
    result.message = message;
    result.startDisabled = startDisabled;
    return result;
}

}  // namespace

FirmwareFileResult ReadFirmwareFile(const std::string& path, const std::string& tempFile) {
    const std::uint32_t pickedLength = GetFileLength(path);
    if (pickedLength == 0)
        return Refuse(kGetKfsFileLengthFail, false);
    // Only the first two bytes tell a container file from an archive.
    std::uint8_t head[2] = {0, 0};
    if (!ReadFileBinary(path, pickedLength < 2 ? pickedLength : 2, head))
        return Refuse(kReadFileBinaryFail, false);

    const bool fromArchive = !(head[0] == 'K' && head[1] == 'E');
    if (fromArchive && ExtractLastMember(path, tempFile) == Unpack::kNotValid) {
        std::remove(tempFile.c_str());
        return Refuse(kNotValidKfs, false);
    }

    // From here on a failure leaves "&Start" disabled.
    const std::string& use = fromArchive ? tempFile : path;
    auto removeTemp = [&] {
        if (fromArchive)
            std::remove(tempFile.c_str());
    };
    const std::uint32_t length = GetFileLength(use);
    if (length == 0 || length > kMaxFirmwareFileSize) {
        removeTemp();
        return Refuse(kGetFileLengthError, true);
    }
    std::vector<std::uint8_t> bytes(length, 0);
    const bool read = ReadFileBinary(use, length, bytes.data());
    removeTemp();
    if (!read)
        return Refuse(kReadFileBinaryError, true);

    LoadedFirmware firmware;
    std::uint32_t imageLength = 0;
    if (IsPhilipsFile(bytes)) {
        firmware.PhilipsImage = true;
        bytes = PhilipsFormFromFile(bytes);
        // The form is the 4-byte length, the 40-byte header, the image and its trailer; a file
        // of 40 bytes or less holds no image at all.
        constexpr std::size_t kFormOverhead = 4 + kPhilipsHeaderLength;
        imageLength = bytes.size() > kFormOverhead
                          ? static_cast<std::uint32_t>(bytes.size() - kFormOverhead)
                          : 0;
    } else {
        imageLength = GetKFSLength(bytes);
    }
    if (imageLength == 0)
        return Refuse(kGetKfsLengthError, true);

    // The decoding's verdict is left to the matching, which judges the firmware.
    firmware.Image.assign(imageLength, 0);
    (void)LoadKFS(bytes, firmware.Container, firmware.Image);

    FirmwareFileResult result;
    result.firmware = std::move(firmware);
    return result;
}

LoadResult LoadFirmware(const std::optional<std::string>& path, Transport& transport, Clock& clock,
                        const MatchSettings& settings, FirmwareState& firmware, DriveList& list,
                        FirmwareBoxes& boxes, const std::string& tempFile) {
    if (!path)
        return {LoadOutcome::kCancelled, std::nullopt};

    FirmwareFileResult file = ReadFirmwareFile(*path, tempFile);
    if (!file.firmware)
        return {file.startDisabled ? LoadOutcome::kFailed : LoadOutcome::kRefused, file.message};

    firmware.CurrentImage = std::move(file.firmware->Image);
    firmware.CurrentContainer = std::move(file.firmware->Container);
    firmware.PhilipsImage = file.firmware->PhilipsImage;

    if (MatchMessage message = MatchDrives(transport, clock, settings, firmware, list))
        return {LoadOutcome::kFailed, message};
    if (MatchMessage message = SelectContainer(transport, firmware, list, boxes))
        return {LoadOutcome::kFailed, message};
    return {LoadOutcome::kLoaded, std::nullopt};
}

}  // namespace kfs
