// pack: builds a KFS1, KFS3 or Philips-form container from a raw firmware image.
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "container/kfs_encode.h"
#include "flash/flash_type_table.h"
#include "tools/command_line.h"
#include "tools/file_rules.h"
#include "tools/kfstool/commands.h"
#include "tools/kfstool/container_file.h"

namespace kfstool {
namespace {

constexpr const char* kPackHelp =
    "usage: kfstool pack [options] IMAGE OUT\n"
    "Builds a firmware container from the raw image IMAGE and writes it to OUT; the header check\n"
    "sum is computed over the decoded image unless --checksum is given. Numbers are decimal or\n"
    "hexadecimal with 0x; --option=value works as --option value.\n"
    "\n"
    "  --form kfs1|kfs3|philips  container form (default kfs3)\n"
    "  --scramble N              ScrambleMode byte; KFS3 scrambles the banks with 2, KFS1 with 1\n"
    "                            (default 0: banks stored plain)\n"
    "  --seed S0,S1,S2,S3        KFS3 ScrambleSeed bytes (bank key ((S1-S2)*S0+S3) mod 256);\n"
    "                            KFS1: bank i is scrambled with the key S0 + i\n"
    "  --ide-type N              KFS3 IdeFlashType (default 0)\n"
    "  --atapi-type N            KFS3 AtapiFlashType, required: the flash procedure that writes\n"
    "                            it (1, 3, 5 a0; 2 ali; 4 a0-poll; 6 mtk5; 7 a0-32k; 8 mtk7); a "
    "type\n"
    "                            no procedure knows is refused\n"
    "  --kernel-type N           KFS3 AtapiFlashKernelType (default 0)\n"
    "  --bank-size N             KFS3 MaxBankSize: the bank stride; the image is cut into banks\n"
    "                            of this size (default: the whole image in one bank)\n"
    "  --banks N,N,...           explicit bank sizes; bank i is taken from image offset\n"
    "                            i * stride (KFS1 stride 0x10000, at most 0xFFFF bytes a bank)\n"
    "  --reserved ADDR:LEN       KFS3 reserved block (repeat for more, kept in order)\n"
    "  --kernel ADDR:LEN         KFS3 kernel block (default 0:0)\n"
    "  --version-byte C          KFS1 FormatVersion: a character (' ', '1', '2') or a number\n"
    "                            (default '1')\n"
    "  --trailer N               Philips TrailerWord (default 0)\n"
    "  --ident TEXT              Philips identification text, begins with \"Philips\"\n"
    "                            (default \"Philips\")\n"
    "  --with-length             Philips: write the form with its 4-byte length prefix (as the\n"
    "                            CVT buffer holds it) instead of the Philips file\n"
    "  --checksum N              write this HeaderCheckSum instead of the computed one\n"
    "\n"
    "A KFS1 container cuts the image into 64 KB banks stored without their trailing zero bytes;\n"
    "scrambled KFS1 banks must begin with 02h. The decoded image is the input padded with zeros\n"
    "to whole bank slots.\n";

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

std::uint64_t Number(const std::string& option, const std::string& text, std::uint64_t max) {
    auto value = ParseNumber(text, max);
    if (!value)
        throw UsageError(option + ": not a number up to " + std::to_string(max) + ": " + text);
    return *value;
}

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (;;) {
        const std::size_t at = text.find(separator, start);
        parts.push_back(text.substr(start, at - start));
        if (at == std::string::npos)
            return parts;
        start = at + 1;
    }
}

kfs::SKFSReserveBlock Block(const std::string& option, const std::string& text) {
    const auto parts = Split(text, ':');
    if (parts.size() != 2)
        throw UsageError(option + ": expected ADDR:LEN, got " + text);
    return {static_cast<std::uint32_t>(Number(option, parts[0], 0xFFFFFFFF)),
            static_cast<std::uint32_t>(Number(option, parts[1], 0xFFFFFFFF))};
}

std::uint8_t Byte(const std::string& option, const std::string& text) {
    return static_cast<std::uint8_t>(Number(option, text, 0xFF));
}

// The option values as given; the numbers are read after parsing so that a bad one is named
// with its option.
struct PackValues {
    std::string form, scramble, seed, ideType, atapiType, kernelType, bankSize, banks, kernel,
        versionByte, trailer, ident, checksum;
    std::vector<std::string> reserved, files;
    bool withLength = false;
};

void AddPackOptions(CLI::App& app, PackValues& v) {
    const std::pair<const char*, std::string*> valued[] = {
        {"--form", &v.form},
        {"--scramble", &v.scramble},
        {"--seed", &v.seed},
        {"--ide-type", &v.ideType},
        {"--atapi-type", &v.atapiType},
        {"--kernel-type", &v.kernelType},
        {"--bank-size", &v.bankSize},
        {"--banks", &v.banks},
        {"--kernel", &v.kernel},
        {"--version-byte", &v.versionByte},
        {"--trailer", &v.trailer},
        {"--ident", &v.ident},
        {"--checksum", &v.checksum},
    };
    for (const auto& [name, value] : valued) app.add_option(name, *value);
    // One ADDR:LEN an occurrence: without this CLI11 would take IMAGE and OUT as further blocks.
    app.add_option("--reserved", v.reserved)->allow_extra_args(false);
    app.add_flag("--with-length", v.withLength);
    app.add_option("IMAGE OUT", v.files);
}

kfs::KfsForm Form(const std::string& v) {
    if (v == "kfs1")
        return kfs::KfsForm::kKfs1;
    if (v == "kfs3")
        return kfs::KfsForm::kKfs3;
    if (v == "philips")
        return kfs::KfsForm::kPhilips;
    throw UsageError("--form: kfs1, kfs3 or philips, not " + v);
}

// Reads the given values into the encoder's options; throws UsageError naming the bad one.
void ApplyPackValues(const CLI::App& app, const PackValues& v, kfs::KfsEncodeOptions& o) {
    const auto given = [&app](const char* name) { return app.count(name) != 0; };
    if (given("--form"))
        o.form = Form(v.form);
    if (given("--scramble"))
        o.scrambleMode = Byte("--scramble", v.scramble);
    if (given("--seed")) {
        const auto parts = Split(v.seed, ',');
        if (parts.size() != 4)
            throw UsageError("--seed: four bytes S0,S1,S2,S3");
        for (std::size_t k = 0; k < 4; ++k) o.seed[k] = Byte("--seed", parts[k]);
    }
    if (given("--ide-type"))
        o.ideFlashType = Byte("--ide-type", v.ideType);
    if (given("--atapi-type"))
        o.atapiFlashType = Byte("--atapi-type", v.atapiType);
    if (given("--kernel-type"))
        o.atapiFlashKernelType = Byte("--kernel-type", v.kernelType);
    if (given("--bank-size")) {
        o.maxBankSize = static_cast<std::uint32_t>(Number("--bank-size", v.bankSize, 0xFFFFFFFF));
        if (o.maxBankSize == 0)
            throw UsageError("--bank-size: must not be 0");
    }
    if (given("--banks")) {
        o.bankSizes.clear();
        for (const std::string& part : Split(v.banks, ','))
            o.bankSizes.push_back(static_cast<std::uint32_t>(Number("--banks", part, 0xFFFFFFFF)));
    }
    for (const std::string& block : v.reserved)
        o.reservedBlocks.push_back(Block("--reserved", block));
    if (given("--kernel"))
        o.kernelBlock = Block("--kernel", v.kernel);
    if (given("--version-byte")) {
        const std::string& c = v.versionByte;
        o.versionByte = c.size() == 1 ? static_cast<std::uint8_t>(c[0]) : Byte("--version-byte", c);
    }
    if (given("--trailer"))
        o.trailerWord = static_cast<std::uint16_t>(Number("--trailer", v.trailer, 0xFFFF));
    if (given("--ident"))
        o.philipsIdentification = v.ident;
    if (given("--checksum"))
        o.headerCheckSum = static_cast<std::uint16_t>(Number("--checksum", v.checksum, 0xFFFF));
}

}  // namespace

int RunPack(const Args& args) {
    kfs::KfsEncodeOptions o;
    PackValues v;
    CLI::App app{"", "kfstool pack"};
    AddPackOptions(app, v);
    const kfstools::ParseOutcome parsed = kfstools::Parse(app, args);
    if (parsed.parsed == kfstools::Parsed::kHelp) {
        std::fputs(kPackHelp, stdout);
        return 0;
    }
    const bool atapiTypeGiven = app.count("--atapi-type") != 0;
    const bool withLength = v.withLength;
    const std::vector<std::string>& files = v.files;
    try {
        if (parsed.parsed == kfstools::Parsed::kUsageError)
            throw UsageError(parsed.error);
        ApplyPackValues(app, v, o);
        if (files.size() != 2)
            throw UsageError("expected IMAGE and OUT");
        // The flash type picks the procedure that writes the container: a type no procedure
        // was written for would reach a drive with the wrong command sequence.
        if (o.form == kfs::KfsForm::kKfs3 && !atapiTypeGiven)
            throw UsageError("a KFS3 container needs --atapi-type (1 to 8)");
        if (o.form == kfs::KfsForm::kKfs3 && !kfs::IsKnownAtapiFlashType(o.atapiFlashType)) {
            throw UsageError("--atapi-type " + std::to_string(o.atapiFlashType) +
                             ": no flash procedure knows this flash type (1 to 8)");
        }
    } catch (const UsageError& e) {
        std::fprintf(stderr, "kfstool pack: %s (kfstool pack --help for the options)\n", e.what());
        return 2;
    }

    if (const auto problem = kfstools::OutputProblem(files[1], {files[0]})) {
        std::fprintf(stderr, "kfstool pack: %s: %s; nothing was written\n", files[1].c_str(),
                     problem->c_str());
        return 1;
    }
    kfs::InputFile read = kfstools::ReadInput(files[0]);
    if (!read.bytes) {
        std::fprintf(stderr, "kfstool pack: %s: cannot read the file: %s\n", files[0].c_str(),
                     read.reason.c_str());
        return 1;
    }
    auto& image = read.bytes;
    std::vector<std::uint8_t> container;
    try {
        container = kfs::EncodeKfs(*image, o);
    } catch (const std::invalid_argument& e) {
        std::fprintf(stderr, "kfstool pack: %s\n", e.what());
        return 1;
    }
    if (o.form == kfs::KfsForm::kPhilips && !withLength) {
        container = kfs::PhilipsFileFromForm(container);
    }
    if (const auto problem = kfstools::WriteOutput(files[1], container)) {
        std::fprintf(stderr, "kfstool pack: %s: cannot write the file: %s\n", files[1].c_str(),
                     problem->c_str());
        return 1;
    }
    return 0;
}

}  // namespace kfstool
