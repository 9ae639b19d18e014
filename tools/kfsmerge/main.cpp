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
#include "tools/command_line.h"
#include "tools/file_rules.h"

namespace kfsmerge {
extern const unsigned char shipped_parameters[];
extern const std::size_t shipped_parameters_size;
}  // namespace kfsmerge

namespace {

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

int Usage(const std::string& problem) {
    std::fprintf(stderr, "kfsmerge: %s\n", problem.c_str());
    std::fputs(kUsage, stderr);
    return 2;
}

int Fail(const std::string& message) {
    std::fprintf(stderr, "kfsmerge: %s\n", message.c_str());
    return 1;
}

int List(const std::string& name) {
    const kfs::InputFile read = kfstools::ReadInput(name);
    const auto& file = read.bytes;
    if (!file)
        return Fail("cannot read " + name + ": " + read.reason);
    const kfs::BufferListing listing = kfs::ListBuffers(*file);
    if (!listing.ok)
        return Fail(name + ": " + listing.error);
    for (std::size_t i = 0; i < kfs::kBufferRecords.size(); ++i) {
        std::printf("%-18s %s\n", std::string(kfs::kBufferRecords[i].tag).c_str(),
                    listing.descriptions[i].c_str());
    }
    return 0;
}

// What the command line asks for; each input file is read before anything is written.
struct Request {
    std::vector<std::string> positionals;
    std::string output, list;
    bool version = false;
    // Option name and where its file goes, in the order the buffers are filled.
    std::vector<std::pair<std::string, std::string>> inputs{
        {"--cvt", ""}, {"--kfs1", ""}, {"--kfs2", ""}, {"--kfs3", ""}, {"--parameters", ""}};
};

}  // namespace

int main(int argc, char** argv) {
    Request r;
    CLI::App app{"", "kfsmerge"};
    app.add_option("-o,--output", r.output);
    for (auto& [option, name] : r.inputs) app.add_option(option, name);
    app.add_option("--list", r.list);
    app.add_flag("--version", r.version);
    app.add_option("IN.exe", r.positionals);
    const kfstools::ParseOutcome parsed =
        kfstools::Parse(app, std::vector<std::string>(argv + 1, argv + argc));
    if (parsed.parsed == kfstools::Parsed::kHelp) {
        std::fputs(kUsage, stdout);
        std::fputs(kHelpTail, stdout);
        return 0;
    }
    if (parsed.parsed == kfstools::Parsed::kUsageError)
        return Usage(parsed.error);
    std::size_t given = r.positionals.size();
    for (const CLI::Option* option : app.get_options())
        given += option->get_positional() ? 0 : option->count();
    if (r.version) {
        if (given != 1)
            return Usage("--version takes nothing else");
        std::printf("kfsmerge %s\n", KFS_VERSION);
        return 0;
    }
    if (app.count("--list") != 0) {
        if (given != 1)
            return Usage("--list takes nothing else");
        return List(r.list);
    }
    if (r.positionals.size() != 1)
        return Usage(r.positionals.empty() ? "no IN.exe given" : "more than one IN.exe given");
    if (r.output.empty())
        return Usage("no -o OUT.exe given");
    const std::string& input = r.positionals[0];
    const std::string& output = r.output;
    std::vector<std::pair<std::string, std::string>> inputs;
    for (const auto& [option, name] : r.inputs) {
        if (app.count(option) != 0)
            inputs.emplace_back(option, name);
    }

    std::vector<std::string> inputNames{input};
    for (const auto& entry : inputs) inputNames.push_back(entry.second);
    if (const auto problem = kfstools::OutputProblem(output, inputNames))
        return Fail(output + ": " + *problem + "; nothing written");
    kfs::InputFile read = kfstools::ReadInput(input);
    if (!read.bytes)
        return Fail("cannot read " + input + ": " + read.reason);
    auto& executable = read.bytes;
    kfs::BufferContents contents;
    for (const auto& [option, name] : inputs) {
        kfs::InputFile content = kfstools::ReadInput(name);
        if (!content.bytes)
            return Fail("cannot read " + name + ": " + content.reason);
        auto& bytes = content.bytes;
        if (option == "--cvt")
            contents.philipsFile = std::move(bytes);
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
    if (const auto problem = kfstools::WriteOutput(output, *executable))
        return Fail("cannot write " + output + ": " + *problem);
    // The copy is as runnable as the original.
    std::error_code ignored;
    std::filesystem::permissions(output, std::filesystem::status(input, ignored).permissions(),
                                 ignored);
    return 0;
}
