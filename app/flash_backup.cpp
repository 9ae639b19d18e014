#include "app/flash_backup.h"

#include <zlib.h>

#include <cctype>
#include <cstdio>
#include <filesystem>

#include "container/file_helpers.h"
#include "drive/identification.h"
#include "flash/backup.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace kfs {

namespace {

bool FileNameChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.';
}

// Each run of other characters becomes one "_"; none at either end.
std::string FileNamePart(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (FileNameChar(c))
            out += c;
        else if (!out.empty() && out.back() != '_')
            out += '_';
    }
    while (!out.empty() && out.back() == '_') out.pop_back();
    return out.empty() ? "drive" : out;
}

std::tm LocalTimeNow() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
#ifdef _WIN32
    local = *std::localtime(&now);
#else
    localtime_r(&now, &local);
#endif
    return local;
}

std::string SenseText(const SenseData& sense) {
    char text[32];
    std::snprintf(text, sizeof text, "sense %02X/%02X/%02X", sense[2] & 0x0F, sense[12], sense[13]);
    return text;
}

void PutLe(std::vector<std::uint8_t>& out, std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

// A zip archive that stores one member uncompressed: a file load takes a Philips file only from
// an archive, since it reads a bare file that does not begin with "KE" as one.
std::vector<std::uint8_t> StoredZip(const std::string& name, const std::vector<std::uint8_t>& data,
                                    const std::tm& when) {
    const auto size = static_cast<std::uint32_t>(data.size());
    const auto crc = static_cast<std::uint32_t>(
        crc32(crc32(0L, Z_NULL, 0), data.data(), static_cast<uInt>(data.size())));
    const auto time =
        static_cast<std::uint32_t>(when.tm_hour << 11 | when.tm_min << 5 | when.tm_sec / 2);
    const auto date = static_cast<std::uint32_t>((when.tm_year - 80) << 9 | (when.tm_mon + 1) << 5 |
                                                 when.tm_mday);
    const auto nameLength = static_cast<std::uint32_t>(name.size());
    // The fields from "version needed" to the name length, shared by both headers.
    const auto common = [&](std::vector<std::uint8_t>& out) {
        PutLe(out, 10, 2);  // version needed: stored data
        PutLe(out, 0, 2);   // flags
        PutLe(out, 0, 2);   // method: stored
        PutLe(out, time, 2);
        PutLe(out, date, 2);
        PutLe(out, crc, 4);
        PutLe(out, size, 4);
        PutLe(out, size, 4);
        PutLe(out, nameLength, 2);
        PutLe(out, 0, 2);  // extra field length
    };
    std::vector<std::uint8_t> zip;
    PutLe(zip, 0x04034B50, 4);
    common(zip);
    zip.insert(zip.end(), name.begin(), name.end());
    zip.insert(zip.end(), data.begin(), data.end());
    const auto directoryAt = static_cast<std::uint32_t>(zip.size());
    PutLe(zip, 0x02014B50, 4);
    PutLe(zip, 20, 2);  // made by
    common(zip);
    PutLe(zip, 0, 2);  // comment length
    PutLe(zip, 0, 2);  // disk
    PutLe(zip, 0, 2);  // internal attributes
    PutLe(zip, 0, 4);  // external attributes
    PutLe(zip, 0, 4);  // offset of the local header
    zip.insert(zip.end(), name.begin(), name.end());
    const auto directorySize = static_cast<std::uint32_t>(zip.size()) - directoryAt;
    PutLe(zip, 0x06054B50, 4);
    PutLe(zip, 0, 2);
    PutLe(zip, 0, 2);
    PutLe(zip, 1, 2);
    PutLe(zip, 1, 2);
    PutLe(zip, directorySize, 4);
    PutLe(zip, directoryAt, 4);
    PutLe(zip, 0, 2);
    return zip;
}

// The automatic name, then with "-2", "-3"... before the extension.
std::string NumberedName(const std::filesystem::path& directory, const std::string& name, int n) {
    const std::filesystem::path first = directory / name;
    if (n < 2)
        return first.string();
    return (directory /
            (first.stem().string() + "-" + std::to_string(n) + first.extension().string()))
        .string();
}

// The flash read for a backup, or why it could not be read.
struct FlashForBackup {
    std::vector<std::uint8_t> file;  // the container (a Philips file still to be zipped)
    std::string problem;
};

FlashForBackup ReadForBackup(Transport& transport, Clock& clock, FlashView& view, DriveIndex drive,
                             const BackupPlan& plan) {
    if (plan.length == 0)
        return {{}, "nothing to read: the update writes no byte of the flash"};
    const FlashReadout flash = ReadFlash(transport, clock, view, drive, plan.length);
    if (flash.unsteadyAt) {
        char at[16];
        std::snprintf(at, sizeof at, "%Xh", static_cast<unsigned>(*flash.unsteadyAt));
        return {{},
                std::string("the drive's flash did not read the same twice (ReadROM, from ") + at +
                    ")"};
    }
    if (!flash.ok())
        return {{},
                "the drive refused to read its flash (ReadROM, " + SenseText(flash.refusal) + ")"};
    return {EncodeBackup(flash.bytes, plan.like, plan.philips), ""};
}

// Writes the backup as a new file named `path`; `exists` tells that the name was taken.
BackupOutcome StoreBackup(const std::vector<std::uint8_t>& container, bool philips,
                          const std::string& path, bool& exists) {
    std::vector<std::uint8_t> file = container;
    if (philips) {
        const std::filesystem::path member = std::filesystem::path(path).stem().string() + ".bin";
        file = StoredZip(member.string(), file, LocalTimeNow());
    }
    const NewFileOutcome written = WriteNewFile(path, file);
    exists = written.exists;
    if (written.exists)
        return {"", path + " exists: a backup never replaces a file"};
    if (!written.written)
        return {"", "cannot write " + path + ": " + written.reason};
    return {path, ""};
}

}  // namespace

BackupPlan PlanBackupFor(const SKFSParameter& container, bool philipsImage,
                         std::size_t imageLength) {
    return {FlashWriteExtent(container, philipsImage, imageLength), container, philipsImage};
}

std::string BackupFileName(const std::string& model, const std::string& version,
                           const std::tm& when, bool philips) {
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &when);
    return FileNamePart(model) + "_" + FileNamePart(version) + "_" + stamp +
           (philips ? ".zip" : ".kfs");
}

BackupOutcome WriteFlashBackup(Transport& transport, Clock& clock, FlashView& view,
                               DriveIndex drive, const BackupPlan& plan, const std::string& path) {
    const FlashForBackup flash = ReadForBackup(transport, clock, view, drive, plan);
    if (!flash.problem.empty())
        return {"", flash.problem};
    bool exists = false;
    return StoreBackup(flash.file, plan.philips, path, exists);
}

BackupOutcome BackUpDrive(Transport& transport, Clock& clock, FlashView& view, DriveIndex drive,
                          const BackupPlan& plan, const std::string& directory) {
    const std::string name =
        BackupFileName(GetDriveModelName(transport, drive), GetDriveVersion(transport, drive),
                       LocalTimeNow(), plan.philips);
    const FlashForBackup flash = ReadForBackup(transport, clock, view, drive, plan);
    if (!flash.problem.empty())
        return {"", flash.problem};
    // A taken name, a dangling link included, moves on to the next number.
    constexpr int kNames = 1000;
    BackupOutcome outcome;
    for (int n = 1; n <= kNames; ++n) {
        bool exists = false;
        outcome = StoreBackup(flash.file, plan.philips, NumberedName(directory, name, n), exists);
        if (!exists)
            return outcome;
    }
    return outcome;
}

std::string BackupWrittenLine(const std::string& path) {
    return "Backup of the drive's flash: " + path;
}

std::string NoBackupQuestion(const std::string& problem) {
    return "No backup of the drive's flash was made: " + problem +
           ".\nGo on and write the drive without a backup?";
}

std::string ProgramDirectory() {
#ifdef _WIN32
    char path[MAX_PATH] = {};
    const DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return "";
    return std::filesystem::path(path).parent_path().string();
#else
    return "";
#endif
}

}  // namespace kfs
