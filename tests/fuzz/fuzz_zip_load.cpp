// Hostile zip archives through the file load, as "&Load KFS" reads a picked file: whatever the
// archive holds, the load refuses a last member larger than the member size limit, hands on
// nothing larger, and leaves no temporary file behind (nor any file beside the picked one, nor a
// "temp.kfs" in the working folder).
//
// The load runs with a smaller limit than the program's, so that members that inflate past it
// stay cheap for the fuzzer to find.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "container/firmware_file.h"
#include "unzip.h"

namespace {

constexpr std::uint32_t kSizeLimit = 1u << 20;
std::string g_base, g_work, g_temp, g_input;

// The folders are empty when a run ends normally.
void RemoveFolders() {
    ::rmdir(g_work.c_str());
    ::rmdir(g_temp.c_str());
    ::rmdir(g_base.c_str());
}

// The names in a folder other than "." and "..".
int CountEntries(const std::string& folder, const char* except = nullptr) {
    DIR* dir = ::opendir(folder.c_str());
    if (!dir)
        __builtin_trap();
    int count = 0;
    while (const dirent* entry = ::readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0)
            continue;
        if (except && std::strcmp(entry->d_name, except) == 0)
            continue;
        ++count;
    }
    ::closedir(dir);
    return count;
}

// The size the archive's last member declares, read independently of the load; 0 when the file
// is no archive minizip opens or has no members.
std::uint64_t DeclaredSizeOfLastMember(const char* path) {
    unzFile zip = unzOpen(path);
    if (!zip)
        return 0;
    std::uint64_t size = 0;
    unz_global_info global{};
    if (unzGetGlobalInfo(zip, &global) == UNZ_OK && global.number_entry > 0 &&
        unzGoToFirstFile(zip) == UNZ_OK) {
        bool found = true;
        for (uLong i = 1; found && i < global.number_entry; ++i)
            found = unzGoToNextFile(zip) == UNZ_OK;
        unz_file_info info{};
        if (found &&
            unzGetCurrentFileInfo(zip, &info, nullptr, 0, nullptr, 0, nullptr, 0) == UNZ_OK)
            size = info.uncompressed_size;
    }
    unzClose(zip);
    return size;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // A folder of the target's own, for the picked file and as the temporary folder. The working
    // folder stays where it is: libFuzzer resolves the corpus paths after this.
    char base[] = "/tmp/kfs_fuzz_zip_XXXXXX";
    if (!::mkdtemp(base))
        std::abort();
    g_base = base;
    g_work = std::string(base) + "/work";
    g_temp = std::string(base) + "/tmp";
    g_input = g_work + "/picked.zip";
    if (::mkdir(g_work.c_str(), 0700) != 0 || ::mkdir(g_temp.c_str(), 0700) != 0 ||
        ::setenv("TMPDIR", g_temp.c_str(), 1) != 0)
        std::abort();
    std::atexit(RemoveFolders);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::FILE* file = std::fopen(g_input.c_str(), "wb");
    if (!file || std::fwrite(data, 1, size, file) != size || std::fclose(file) != 0)
        std::abort();
    const bool archive = !(size >= 2 && data[0] == 'K' && data[1] == 'E');

    const kfs::FirmwareFileResult result = kfs::ReadFirmwareFile(g_input, kSizeLimit);

    if (CountEntries(g_temp) != 0 || CountEntries(g_work, "picked.zip") != 0 ||
        ::access("temp.kfs", F_OK) == 0)
        __builtin_trap();  // a temporary file outlived the load, or one landed elsewhere
    if (result.firmware) {
        const kfs::LoadedFirmware& f = *result.firmware;
        if (f.FileLength > kSizeLimit || f.Image.size() > kSizeLimit || f.Image.empty())
            __builtin_trap();
    } else if (result.message.empty() || result.reason.empty()) {
        __builtin_trap();  // every refusal says what and why
    }
    if (archive && DeclaredSizeOfLastMember(g_input.c_str()) > kSizeLimit &&
        (result.firmware || result.message != kfs::kNotValidKfs))
        __builtin_trap();  // a member over the limit is refused before it is extracted
    std::remove(g_input.c_str());
    return 0;
}
