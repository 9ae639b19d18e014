#include "container/firmware_file.h"

#include <memory>

#include "container/file_helpers.h"
#include "container/temporary_file.h"
#include "unzip.h"

namespace kfs {

namespace {

// What became of the archive's last member.
enum class Unpack {
    kExtracted,  // its bytes are in the temporary file
    kNotValid,   // no archive, no members, or a member larger than any container
    kNothing,    // nothing usable was extracted (a read or check sum error, no temporary file)
};

struct Extraction {
    Unpack unpack = Unpack::kNothing;
    std::string reason;
    std::string member;
    std::uint32_t length = 0;  // bytes written to the temporary file
};

struct ZipCloser {
    void operator()(void* zip) const { unzClose(static_cast<unzFile>(zip)); }
};

std::string SizeText(std::uint64_t bytes) {
    return std::to_string(bytes) + " bytes";
}

// Streams the current member into `out`, refusing one that grows past the limit whatever its
// header claims.
Extraction ExtractCurrentMember(unzFile zip, std::FILE* out, std::uint32_t sizeLimit) {
    Extraction result;
    if (unzOpenCurrentFile(zip) != UNZ_OK) {
        result.reason = "the archive's last member cannot be opened";
        return result;
    }
    std::vector<char> chunk(64 * 1024);
    std::uint64_t total = 0;
    for (;;) {
        const int got = unzReadCurrentFile(zip, chunk.data(), static_cast<unsigned>(chunk.size()));
        if (got == 0)
            break;
        if (got < 0) {
            unzCloseCurrentFile(zip);
            result.reason = "the archive's last member cannot be inflated";
            return result;
        }
        total += static_cast<std::uint64_t>(got);
        if (total > sizeLimit) {
            unzCloseCurrentFile(zip);
            result.unpack = Unpack::kNotValid;
            result.reason = "the archive's last member inflates to more than " +
                            SizeText(sizeLimit) + ", larger than any firmware";
            return result;
        }
        if (std::fwrite(chunk.data(), 1, static_cast<std::size_t>(got), out) !=
            static_cast<std::size_t>(got)) {
            unzCloseCurrentFile(zip);
            result.reason = "the temporary file cannot be written";
            return result;
        }
    }
    if (unzCloseCurrentFile(zip) != UNZ_OK) {
        result.reason = "the archive's last member fails its check sum";
        return result;
    }
    if (std::fflush(out) != 0) {
        result.reason = "the temporary file cannot be written";
        return result;
    }
    result.unpack = Unpack::kExtracted;
    result.length = static_cast<std::uint32_t>(total);
    return result;
}

// Extracts the archive's last member into a new temporary file: each member would replace the
// one before, so only the last one is written.
Extraction ExtractLastMember(const std::string& archive, std::unique_ptr<TemporaryFile>& temp,
                             std::uint32_t sizeLimit) {
    Extraction result;
    std::unique_ptr<void, ZipCloser> zip(unzOpen(archive.c_str()));
    unz_global_info global{};
    if (!zip || unzGetGlobalInfo(zip.get(), &global) != UNZ_OK) {
        result.unpack = Unpack::kNotValid;
        result.reason = "neither a KFS container nor a zip archive";
        return result;
    }
    if (global.number_entry == 0) {
        result.unpack = Unpack::kNotValid;
        result.reason = "a zip archive without members";
        return result;
    }

    bool found = unzGoToFirstFile(zip.get()) == UNZ_OK;
    for (uLong i = 1; found && i < global.number_entry; ++i)
        found = unzGoToNextFile(zip.get()) == UNZ_OK;
    unz_file_info info{};
    if (!found ||
        unzGetCurrentFileInfo(zip.get(), &info, nullptr, 0, nullptr, 0, nullptr, 0) != UNZ_OK) {
        result.reason = "the archive's directory cannot be read to its last member";
        return result;
    }
    // The name only labels the member; one that cannot be read does not stop the load.
    char name[256] = {};
    unz_file_info again{};
    if (unzGetCurrentFileInfo(zip.get(), &again, name, sizeof name - 1, nullptr, 0, nullptr, 0) ==
        UNZ_OK)
        result.member = name;
    if (info.uncompressed_size > sizeLimit) {
        result.unpack = Unpack::kNotValid;
        result.reason = "the archive's last member declares " + SizeText(info.uncompressed_size) +
                        ", larger than any firmware";
        return result;
    }
    temp = TemporaryFile::Create();
    if (!temp) {
        result.reason = "no temporary file can be created in " + TemporaryFolder();
        return result;
    }
    Extraction extracted = ExtractCurrentMember(zip.get(), temp->stream(), sizeLimit);
    extracted.member = result.member;
    return extracted;
}

// The extracted bytes, read back from the temporary file.
bool ReadBack(const TemporaryFile& temp, std::vector<std::uint8_t>& bytes) {
    std::FILE* stream = temp.stream();
    if (std::fseek(stream, 0, SEEK_SET) != 0)
        return false;
    return std::fread(bytes.data(), 1, bytes.size(), stream) == bytes.size();
}

FirmwareFileResult Refuse(const char* message, bool startDisabled, std::string reason) {
    FirmwareFileResult result;
    result.message = message;
    result.reason = std::move(reason);
    result.startDisabled = startDisabled;
    return result;
}

}  // namespace

FirmwareFileResult ReadFirmwareFile(const std::string& path, std::uint32_t sizeLimit) {
    const std::uint32_t pickedLength = GetFileLength(path);
    if (pickedLength == 0)
        return Refuse(kGetKfsFileLengthFail, false, "the file cannot be opened, or is empty");
    // Only the first two bytes tell a container file from an archive.
    std::uint8_t head[2] = {0, 0};
    if (!ReadFileBinary(path, pickedLength < 2 ? pickedLength : 2, head))
        return Refuse(kReadFileBinaryFail, false, "the file cannot be read");

    LoadedFirmware firmware;
    std::vector<std::uint8_t> bytes;
    if (head[0] == 'K' && head[1] == 'E') {
        // From here on a failure leaves "&Start" disabled.
        const std::uint32_t length = GetFileLength(path);
        if (length == 0 || length > sizeLimit) {
            return Refuse(kGetFileLengthError, true,
                          "the file is empty or larger than " + SizeText(sizeLimit));
        }
        bytes.assign(length, 0);
        if (!ReadFileBinary(path, length, bytes.data()))
            return Refuse(kReadFileBinaryError, true, "the file cannot be read");
    } else {
        std::unique_ptr<TemporaryFile> temp;
        const Extraction extraction = ExtractLastMember(path, temp, sizeLimit);
        if (extraction.unpack == Unpack::kNotValid)
            return Refuse(kNotValidKfs, false, extraction.reason);
        if (extraction.unpack == Unpack::kNothing || extraction.length == 0) {
            return Refuse(kGetFileLengthError, true,
                          extraction.reason.empty() ? "the archive's last member is empty"
                                                    : extraction.reason);
        }
        bytes.assign(extraction.length, 0);
        if (!ReadBack(*temp, bytes))
            return Refuse(kReadFileBinaryError, true, "the temporary file cannot be read back");
        temp.reset();  // removed as soon as it has been read
        firmware.Member = extraction.member;
    }
    firmware.FileLength = static_cast<std::uint32_t>(bytes.size());

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
    if (imageLength == 0) {
        return Refuse(kGetKfsLengthError, true,
                      "no KFS container or Philips file, or one without an image");
    }
    if (imageLength > sizeLimit) {
        return Refuse(
            kGetKfsLengthError, true,
            "the header declares an image of " + SizeText(imageLength) + ", larger than any flash");
    }

    // A partly decoded image must never reach a drive: the file is refused as a whole.
    firmware.Form = GetKfsForm(bytes);
    firmware.Image.assign(imageLength, 0);
    std::string why;
    if (!LoadKFS(bytes, firmware.Container, firmware.Image, &why))
        return Refuse(kNotValidKfs, true, "the container cannot be decoded: " + why);

    FirmwareFileResult result;
    result.firmware = std::move(firmware);
    return result;
}

}  // namespace kfs
