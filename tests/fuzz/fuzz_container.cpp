// Container decoding on arbitrary bytes: length, decoding into a zero-filled image, check sums,
// identity and the container check. A Philips firmware file is also given its length prefix, as
// the loader does.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "container/check_container.h"
#include "container/checksum.h"
#include "container/identity.h"
#include "container/kfs_decode.h"

namespace {

// Keeps each run fast; real firmware images are a few megabytes.
constexpr std::uint32_t kMaxImageLength = 16u << 20;

void DecodeOne(std::span<const std::uint8_t> container) {
    (void)kfs::IsPhilipsForm(container);
    if (kfs::GetKFSLength(container) == 0)
        return;
    const std::uint32_t length = kfs::GetImageLength(container);
    if (length > kMaxImageLength)
        return;
    std::vector<std::uint8_t> image(length, 0);
    kfs::SKFSParameter p;
    if (!kfs::LoadKFS(container, p, image))
        return;

    // What a decoded container promises to the flash procedures.
    for (std::size_t j = 0; j < p.BankSizes.size(); ++j) {
        if (std::uint64_t{j} * p.MaxBankSize + p.BankSizes[j] > image.size())
            __builtin_trap();
    }
    if (kfs::GetKfsForm(container) == kfs::KfsForm::kKfs3) {
        for (const auto& b : p.ReservedBlocks) {
            if (std::uint64_t{b.Address} + b.Length > image.size())
                __builtin_trap();
        }
        if (std::uint64_t{p.KernelBlock.Address} + p.KernelBlock.Length > image.size()) {
            __builtin_trap();
        }
    }

    (void)kfs::CalcCheckSum(image, p);
    (void)kfs::CalcFixDataCheckSum(image, p);
    (void)kfs::FindInquiryBlocks(image);
    (void)kfs::GetImageHardwareId(image);
    (void)kfs::GetImageModelName(image);
    for (std::uint8_t type : {p.AtapiFlashType, kfs::kAtapiFlashTypeSecondInquiry}) {
        (void)kfs::GetImageVersion(image, type);
        (void)kfs::GetImageDateCode(image, type);
    }
    const std::vector<std::string> models = {"KEMO    VRZ-3372BL      ", "KEMO"};
    (void)kfs::CheckContainer(image, p, true, true, models);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> input(data, size);
    DecodeOne(input);
    if (kfs::IsPhilipsFile(input))
        DecodeOne(kfs::PhilipsFormFromFile(input));
    return 0;
}
