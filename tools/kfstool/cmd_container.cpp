// info and unpack: decode a KFS container or a Philips firmware file and show or write its image.
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "container/checksum.h"
#include "container/firmware_file.h"
#include "container/identity.h"
#include "container/kfs_decode.h"
#include "flash/flash_type_table.h"
#include "tools/command_line.h"
#include "tools/file_rules.h"
#include "tools/kfstool/commands.h"
#include "tools/kfstool/container_file.h"

namespace kfstool {
namespace {

struct LoadedContainer {
    kfs::KfsForm form = kfs::KfsForm::kNone;
    kfs::SKFSParameter parameter;
    std::vector<std::uint8_t> image;
    std::string member;  // the zip member it came from
    // Why kfsflash would not write this file to a drive, before any drive is looked at: the
    // load's own refusal (a bare Philips file), or the checks that only --force overrides.
    std::vector<std::string> refusals;
};

int Refuse(const std::string& path, const std::string& why) {
    std::fprintf(stderr, "kfstool: %s: %s\n", path.c_str(), why.c_str());
    return 1;
}

// A Philips file outside an archive: kfsflash takes a file that does not begin with "KE" for a
// zip archive, so it refuses this one, but the tool still shows what it holds.
bool LoadBarePhilipsFile(const std::string& path, LoadedContainer& out) {
    const kfs::InputFile input = kfstools::ReadInput(path);
    if (!input.bytes)
        return false;
    const std::vector<std::uint8_t>& file = *input.bytes;
    if (!kfs::IsPhilipsFile(file) || file.size() > kfs::kMaxFirmwareFileSize)
        return false;
    const std::vector<std::uint8_t> container = kfs::PhilipsFormFromFile(file);
    if (kfs::GetKFSLength(container) == 0)
        return false;
    out.form = kfs::KfsForm::kPhilips;
    out.image.assign(kfs::GetImageLength(container), 0);
    return kfs::LoadKFS(container, out.parameter, out.image);
}

// Loads FILE exactly as kfsflash loads it (a container file, or the last member of a zip
// archive). 0 on success, else the exit status after the message.
int Load(const std::string& path, LoadedContainer& out) {
    if (const auto problem = kfs::CheckRegularFile(path, kfstools::kMaxInputSize))
        return Refuse(path, *problem);
    kfs::FirmwareFileResult result = kfs::ReadFirmwareFile(path);
    if (!result.firmware) {
        if (result.message == kfs::kNotValidKfs && !result.startDisabled &&
            LoadBarePhilipsFile(path, out)) {
            out.refusals.push_back(
                "refuses it (\"Not Valid KFS !\"): it loads a Philips file only from "
                "inside a zip archive");
            return 0;
        }
        return Refuse(path, "kfsflash refuses it (\"" + result.message + "\"): " + result.reason);
    }
    kfs::LoadedFirmware& f = *result.firmware;
    out.form = f.Form;
    out.parameter = std::move(f.Container);
    out.image = std::move(f.Image);
    out.member = f.Member;
    return 0;
}

const char* FormName(kfs::KfsForm form) {
    switch (form) {
        case kfs::KfsForm::kKfs1:
            return "KFS1";
        case kfs::KfsForm::kKfs3:
            return "KFS3";
        case kfs::KfsForm::kPhilips:
            return "Philips";
        case kfs::KfsForm::kNone:
            break;
    }
    return "none";
}

// The names that reports show for the flash type codes.
const char* IdeFlashTypeName(unsigned code) {
    static const char* const kNames[] = {"Not support", "MTK Type", "ALI Type", "ALI2 Type",
                                         "MTK2 Type"};
    return code < std::size(kNames) ? kNames[code] : "unknown";
}
const char* AtapiFlashTypeName(unsigned code) {
    static const char* const kNames[] = {"Not support", "MTK Type",  "ALI Type",
                                         "MTK2 Type",   "MTK3 Type", "MTK4 Type",
                                         "MTK5 Type",   "MTK6 Type", "MTK7 Type"};
    return code < std::size(kNames) ? kNames[code] : "unknown";
}
const char* KernelTypeName(unsigned code) {
    return code == 0 ? "Not support" : "unknown";
}

struct Description {
    std::uint16_t checkSum;
    std::uint16_t fixDataCheckSum;
    std::vector<std::size_t> inquiryBlocks;
    std::string hardwareId, modelName, version, dateCode;
};

// The refusals that need no drive: what the terminal front end checks before anything is
// written. A model that differs from the drive's and a version the drive already has depend on
// the drive and are left out.
void AddRefusals(LoadedContainer& c, const Description& d) {
    const kfs::SKFSParameter& p = c.parameter;
    if (c.form != kfs::KfsForm::kPhilips && !kfs::IsKnownAtapiFlashType(p.AtapiFlashType)) {
        c.refusals.push_back("refuses it: no flash procedure knows ATAPI flash type " +
                             std::to_string(p.AtapiFlashType));
    }
    if (d.checkSum != p.HeaderCheckSum) {
        char text[160];
        std::snprintf(text, sizeof text,
                      "refuses it unless --force: the header check sum 0x%04X differs "
                      "from the image's 0x%04X",
                      p.HeaderCheckSum, d.checkSum);
        c.refusals.emplace_back(text);
    }
    if (c.form != kfs::KfsForm::kPhilips && d.inquiryBlocks.empty()) {
        c.refusals.push_back(
            "refuses it unless --force: the image carries no readable identity (no "
            "INQUIRY block)");
    }
}

Description Describe(const LoadedContainer& c) {
    const kfs::SKFSParameter& p = c.parameter;
    return {static_cast<std::uint16_t>(kfs::CalcCheckSum(c.image, p)),
            kfs::CalcFixDataCheckSum(c.image, p),
            kfs::FindInquiryBlocks(c.image),
            kfs::GetImageHardwareId(c.image),
            kfs::GetImageModelName(c.image),
            kfs::GetImageVersion(c.image, p.AtapiFlashType),
            kfs::GetImageDateCode(c.image, p.AtapiFlashType)};
}

void PrintJson(const LoadedContainer& c, const Description& d) {
    const kfs::SKFSParameter& p = c.parameter;
    nlohmann::ordered_json reserved = nlohmann::ordered_json::array();
    for (const auto& block : p.ReservedBlocks) {
        reserved.push_back({{"address", block.Address}, {"length", block.Length}});
    }
    nlohmann::ordered_json j;
    j["form"] = FormName(c.form);
    j["image_length"] = c.image.size();
    j["header_checksum"] = p.HeaderCheckSum;
    j["trailer_word"] = p.TrailerWord;
    j["ide_flash_type"] = p.IdeFlashType;
    j["atapi_flash_type"] = p.AtapiFlashType;
    j["atapi_flash_kernel_type"] = p.AtapiFlashKernelType;
    j["max_bank_size"] = p.MaxBankSize;
    j["bank_sizes"] = p.BankSizes;
    j["reserved_blocks"] = reserved;
    j["kernel_block"] = {{"address", p.KernelBlock.Address}, {"length", p.KernelBlock.Length}};
    j["checksum"] = d.checkSum;
    j["checksum_ok"] = d.checkSum == p.HeaderCheckSum;
    j["fix_data_checksum"] = d.fixDataCheckSum;
    j["inquiry_blocks"] = d.inquiryBlocks;
    j["hardware_id"] = Latin1ToUtf8(d.hardwareId);
    j["model_name"] = Latin1ToUtf8(d.modelName);
    j["version"] = Latin1ToUtf8(d.version);
    j["date_code"] = Latin1ToUtf8(d.dateCode);
    if (!c.member.empty())
        j["zip_member"] = Latin1ToUtf8(c.member);
    j["kfsflash_refusals"] = c.refusals;
    std::printf("%s\n", j.dump(2).c_str());
}

void PrintText(const LoadedContainer& c, const Description& d) {
    const kfs::SKFSParameter& p = c.parameter;
    std::printf("form                     %s\n", FormName(c.form));
    std::printf("image length             0x%zX (%zu bytes)\n", c.image.size(), c.image.size());
    std::printf("header check sum         0x%04X\n", p.HeaderCheckSum);
    std::printf("image check sum          0x%04X (%s)\n", d.checkSum,
                d.checkSum == p.HeaderCheckSum ? "matches the header" : "DIFFERS from the header");
    std::printf("fixed data check sum     0x%04X\n", d.fixDataCheckSum);
    if (c.form == kfs::KfsForm::kPhilips)
        std::printf("trailer word             0x%04X\n", p.TrailerWord);
    std::printf("IDE flash type           %u (%s)\n", p.IdeFlashType,
                IdeFlashTypeName(p.IdeFlashType));
    std::printf("ATAPI flash type         %u (%s)\n", p.AtapiFlashType,
                AtapiFlashTypeName(p.AtapiFlashType));
    std::printf("ATAPI flash kernel type  %u (%s)\n", p.AtapiFlashKernelType,
                KernelTypeName(p.AtapiFlashKernelType));
    std::printf("max bank size            0x%X\n", p.MaxBankSize);
    std::printf("banks                    %zu\n", p.BankSizes.size());
    for (std::size_t i = 0; i < p.BankSizes.size(); ++i) {
        std::printf("  bank %-3zu               0x%X bytes at image offset 0x%llX\n", i,
                    p.BankSizes[i], static_cast<unsigned long long>(i) * p.MaxBankSize);
    }
    std::printf("reserved blocks          %zu\n", p.ReservedBlocks.size());
    for (const auto& block : p.ReservedBlocks) {
        std::printf("  at 0x%X, 0x%X bytes\n", block.Address, block.Length);
    }
    std::printf("kernel block             at 0x%X, 0x%X bytes\n", p.KernelBlock.Address,
                p.KernelBlock.Length);
    std::printf("INQUIRY blocks          ");
    for (std::size_t offset : d.inquiryBlocks) std::printf(" 0x%zX", offset);
    std::printf("%s\n", d.inquiryBlocks.empty() ? " none" : "");
    std::printf("hardware id              \"%s\"\n", Shown(d.hardwareId).c_str());
    std::printf("model name               \"%s\"\n", Shown(d.modelName).c_str());
    std::printf("version                  \"%s\"\n", Shown(d.version).c_str());
    std::printf("date code                \"%s\"\n", Shown(d.dateCode).c_str());
    if (!c.member.empty())
        std::printf("zip member               \"%s\"\n", Shown(c.member).c_str());
    if (c.refusals.empty())
        std::printf("kfsflash                 loads it (the drive's own checks still apply)\n");
    for (const std::string& refusal : c.refusals)
        std::printf("kfsflash                 %s\n", refusal.c_str());
}

constexpr const char* kInfoUsage =
    "usage: kfstool info [--json] FILE\n"
    "  FILE is read the way kfsflash loads it: a container file, or the last member of a zip\n"
    "  archive. A file kfsflash refuses at load is refused here (status 1) with its reason; the\n"
    "  description ends with what kfsflash would refuse before looking at a drive.\n";

int InfoUsage(const std::string& problem) {
    std::fprintf(stderr, "kfstool info: %s\n%s", problem.c_str(), kInfoUsage);
    return 2;
}

}  // namespace

int RunInfo(const Args& args) {
    bool json = false;
    std::vector<std::string> files;
    CLI::App app{"", "kfstool info"};
    app.add_flag("--json", json);
    app.add_option("FILE", files);
    const kfstools::ParseOutcome parsed = kfstools::Parse(app, args);
    if (parsed.parsed == kfstools::Parsed::kHelp) {
        std::fputs(kInfoUsage, stdout);
        return 0;
    }
    if (parsed.parsed == kfstools::Parsed::kRun && files.size() != 1)
        return InfoUsage(files.empty() ? "no FILE given" : "more than one FILE given");
    if (parsed.parsed == kfstools::Parsed::kUsageError)
        return InfoUsage(parsed.error);
    LoadedContainer c;
    if (int status = Load(files[0], c); status != 0)
        return status;
    const Description d = Describe(c);
    AddRefusals(c, d);
    if (json) {
        PrintJson(c, d);
    } else {
        PrintText(c, d);
    }
    return 0;
}

int RunUnpack(const Args& args) {
    std::vector<std::string> files;
    CLI::App app{"", "kfstool unpack"};
    app.add_option("FILE OUT", files);
    const kfstools::ParseOutcome parsed = kfstools::Parse(app, args);
    if (parsed.parsed == kfstools::Parsed::kHelp) {
        std::fputs(
            "usage: kfstool unpack FILE OUT\n  writes the decoded image of FILE (read as "
            "kfstool info reads it) to OUT\n",
            stdout);
        return 0;
    }
    if (parsed.parsed == kfstools::Parsed::kUsageError || files.size() != 2) {
        const std::string problem =
            parsed.parsed == kfstools::Parsed::kUsageError ? parsed.error : "expected FILE and OUT";
        std::fprintf(stderr, "kfstool unpack: %s\nusage: kfstool unpack FILE OUT\n",
                     problem.c_str());
        return 2;
    }
    LoadedContainer c;
    if (int status = Load(files[0], c); status != 0)
        return status;
    if (const auto problem = kfstools::OutputProblem(files[1], {files[0]}))
        return Refuse(files[1], *problem + "; nothing was written");
    if (const auto problem = kfstools::WriteOutput(files[1], c.image))
        return Refuse(files[1], "cannot write the image: " + *problem);
    return 0;
}

}  // namespace kfstool
