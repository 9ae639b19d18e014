// kfsmerge: makes an updater copy of a built program by filling its tagged buffers, or lists
// what the buffers of a program hold.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "container/buffer_layout.h"
#include "container/buffer_merge.h"
#include "container/file_helpers.h"
#include "tools/option_values.h"

namespace kfsmerge {
extern const unsigned char shipped_parameters[];
extern const std::size_t shipped_parameters_size;
}  // namespace kfsmerge

namespace {

using kfs::ReadWholeFile;
using kfs::WriteWholeFile;

constexpr const char* kUsage =
    "usage: kfsmerge IN.exe -o OUT.exe [--cvt PHILIPS_FILE] [--kfs1 FILE] [--kfs2 FILE]\n"
    "                [--kfs3 FILE] [--parameters FILE]\n"
    "       kfsmerge --list FILE\n"
    "       kfsmerge --help | --version\n"
    "\n"
    "Writes a copy of IN.exe with the given contents in its buffers; buffers not named keep\n"
    "what they hold. A Philips file gets its 4-byte big-endian length in front; a parameter\n"
    "text is ended by a zero byte unless it fills its buffer. When any container is given and\n"
    "--parameters is not, the shipped updater parameter text is written. With no container and\n"
    "no --parameters the parameter buffer is left as it is.\n";

constexpr const char* kHelpTail =
    "\n"
    "  -o, --output OUT.exe   the copy to write (IN.exe itself is never changed)\n"
    "  --cvt PHILIPS_FILE     the Philips-form firmware\n"
    "  --kfs1/--kfs2/--kfs3 FILE  the KFS containers, one per buffer\n"
    "  --parameters FILE      the parameter text\n"
    "  --list FILE            show what the buffers of a program hold\n"
    "  -h, --help             show this help\n"
    "  --version              show the version\n"
    "Options take their value as --option value or --option=value.\n"
    "\n"
    "Exit status: 0 success, 1 a file could not be read or written or the program has no\n"
    "buffers to fill (nothing is written then), 2 usage.\n";

int Usage() {
    std::fputs(kUsage, stderr);
    return 2;
}

int Fail(const std::string& message) {
    std::fprintf(stderr, "kfsmerge: %s\n", message.c_str());
    return 1;
}

int List(const std::string& name) {
    const auto file = ReadWholeFile(name);
    if (!file)
        return Fail("cannot read " + name);
    const kfs::BufferListing listing = kfs::ListBuffers(*file);
    if (!listing.ok)
        return Fail(name + ": " + listing.error);
    for (std::size_t i = 0; i < kfs::kBufferRecords.size(); ++i) {
        std::printf("%-18s %s\n", std::string(kfs::kBufferRecords[i].tag).c_str(),
                    listing.descriptions[i].c_str());
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args = kfstools::SplitOptionValues(
        std::vector<std::string>(argv + 1, argv + argc),
        {"--output", "--cvt", "--kfs1", "--kfs2", "--kfs3", "--parameters", "--list"});
    if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
        std::fputs(kUsage, stdout);
        std::fputs(kHelpTail, stdout);
        return 0;
    }
    if (args.size() == 1 && args[0] == "--version") {
        std::printf("kfsmerge %s\n", KFS_VERSION);
        return 0;
    }
    if (args.size() == 2 && args[0] == "--list")
        return List(args[1]);

    std::string input, output;
    // Option name and where its file goes, read in one pass so that every file is checked
    // before anything is written.
    std::vector<std::pair<std::string, std::string>> inputs;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const bool takes_value = arg == "-o" || arg == "--output" || arg == "--cvt" ||
                                 arg == "--kfs1" || arg == "--kfs2" || arg == "--kfs3" ||
                                 arg == "--parameters";
        if (takes_value) {
            if (i + 1 >= args.size())
                return Usage();
            const std::string& value = args[++i];
            if (arg == "-o" || arg == "--output") {
                if (!output.empty())
                    return Usage();
                output = value;
            } else {
                for (const auto& given : inputs) {
                    if (given.first == arg)
                        return Usage();
                }
                inputs.emplace_back(arg, value);
            }
        } else if (!arg.empty() && arg[0] == '-') {
            return Usage();
        } else if (input.empty()) {
            input = arg;
        } else {
            return Usage();
        }
    }
    if (input.empty() || output.empty())
        return Usage();

    auto executable = ReadWholeFile(input);
    if (!executable)
        return Fail("cannot read " + input);
    kfs::BufferContents contents;
    for (const auto& [option, name] : inputs) {
        auto bytes = ReadWholeFile(name);
        if (!bytes)
            return Fail("cannot read " + name);
        if (option == "--cvt")
            contents.philips_file = std::move(bytes);
        if (option == "--kfs1")
            contents.kfs[0] = std::move(bytes);
        if (option == "--kfs2")
            contents.kfs[1] = std::move(bytes);
        if (option == "--kfs3")
            contents.kfs[2] = std::move(bytes);
        if (option == "--parameters")
            contents.parameters = std::move(bytes);
    }

    const std::span<const std::uint8_t> shipped(kfsmerge::shipped_parameters,
                                                kfsmerge::shipped_parameters_size);
    const kfs::MergeOutcome outcome = kfs::MergeBuffers(*executable, contents, shipped);
    if (!outcome.ok)
        return Fail(input + ": " + outcome.error + "; nothing written");
    for (const std::string& note : outcome.notes)
        std::fprintf(stderr, "kfsmerge: %s\n", note.c_str());
    if (!WriteWholeFile(output, *executable))
        return Fail("cannot write " + output);
    // The copy is as runnable as the original.
    std::error_code ignored;
    std::filesystem::permissions(output, std::filesystem::status(input, ignored).permissions(),
                                 ignored);
    return 0;
}
