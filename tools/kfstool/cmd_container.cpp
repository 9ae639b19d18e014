// info and unpack: decode a KFS container or a Philips firmware file and show or write its image.
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "container/checksum.h"
#include "container/identity.h"
#include "container/kfs_decode.h"
#include "tools/kfstool/commands.h"
#include "tools/kfstool/container_file.h"

namespace kfstool {
namespace {

// Real flash parts are a few megabytes; a header that asks for more than this is not a firmware
// file this tool should allocate memory for.
constexpr std::uint32_t kMaxImageLength = 512u << 20;

struct LoadedContainer {
    kfs::KfsForm form = kfs::KfsForm::kNone;
    kfs::SKFSParameter parameter;
    std::vector<std::uint8_t> image;
};

int Refuse(const std::string& path, const std::string& why) {
    std::fprintf(stderr, "kfstool: %s: %s\n", path.c_str(), why.c_str());
    return 1;
}

// Loads FILE as the program's loader does: a file that begins with "Philips" gets its length in
// front, 4 bytes big-endian. 0 on success, else the exit status after the message.
int Load(const std::string& path, LoadedContainer& out) {
    auto file = ReadWholeFile(path);
    if (!file)
        return Refuse(path, "cannot read the file");
    std::vector<std::uint8_t> container =
        kfs::IsPhilipsFile(*file) ? kfs::PhilipsFormFromFile(*file) : std::move(*file);
    if (kfs::GetKFSLength(container) == 0) {
        return Refuse(path,
                      "GetKFSLength is 0: not a KFS or Philips container, or an impossible size");
    }
    const std::uint32_t length = kfs::GetImageLength(container);
    if (length > kMaxImageLength) {
        return Refuse(path, "the header declares an image of " + std::to_string(length) +
                                " bytes, more than kfstool handles");
    }
    out.form = kfs::GetKfsForm(container);
    out.image.assign(length, 0);
    std::string reason;
    if (!kfs::LoadKFS(container, out.parameter, out.image, &reason)) {
        return Refuse(path, "cannot be decoded: " + reason);
    }
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
    std::printf("hardware id              \"%s\"\n", d.hardwareId.c_str());
    std::printf("model name               \"%s\"\n", d.modelName.c_str());
    std::printf("version                  \"%s\"\n", d.version.c_str());
    std::printf("date code                \"%s\"\n", d.dateCode.c_str());
}

}  // namespace

int RunInfo(const Args& args) {
    bool json = false;
    std::vector<std::string> files;
    for (const std::string& arg : args) {
        if (arg == "--json") {
            json = true;
        } else {
            files.push_back(arg);
        }
    }
    if (files.size() != 1) {
        std::fputs("usage: kfstool info [--json] FILE\n", stderr);
        return 2;
    }
    LoadedContainer c;
    if (int status = Load(files[0], c); status != 0)
        return status;
    const Description d = Describe(c);
    if (json) {
        PrintJson(c, d);
    } else {
        PrintText(c, d);
    }
    return 0;
}

int RunUnpack(const Args& args) {
    if (args.size() != 2) {
        std::fputs("usage: kfstool unpack FILE OUT\n", stderr);
        return 2;
    }
    LoadedContainer c;
    if (int status = Load(args[0], c); status != 0)
        return status;
    if (!WriteWholeFile(args[1], c.image))
        return Refuse(args[1], "cannot write the image");
    return 0;
}

}  // namespace kfstool
