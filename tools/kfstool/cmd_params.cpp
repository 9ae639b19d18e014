// params and default-params: the settings that a parameter text yields, and the built-in default
// parameter file.
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "container/default_parameters.h"
#include "container/parameters.h"
#include "tools/command_line.h"
#include "tools/file_rules.h"
#include "tools/kfstool/commands.h"
#include "tools/kfstool/container_file.h"

namespace kfstool {
namespace {

using Json = nlohmann::ordered_json;
using TextConverter = std::function<std::string(const std::string&)>;

int Flag(bool value) {
    return value ? 1 : 0;
}

// The effective settings, section by section in the order of the parameter text; flags and
// integers as numbers.
Json Describe(const kfs::SParameter& p, const TextConverter& text) {
    Json json;
    json["Main"] = {{"Updater", Flag(p.Updater)},
                    {"ShowCaption", Flag(p.ShowCaption)},
                    {"ProgramName", text(p.ProgramName)},
                    {"ShowVersion", Flag(p.ShowVersion)},
                    {"ShowDate", Flag(p.ShowDate)}};
    const kfs::SArgumentDefaultValue& ad = p.ArgumentDefault;
    json["Argument default value"] = {
        {"s", Flag(ad.s)},
        {"k", Flag(ad.k)},
        {"u", Flag(ad.u)},
        {"i", Flag(ad.i)},
        {"n", ad.n},
        {"a", ad.a},
        {"y", Flag(ad.y)},
        {"Disable98AutoInsertNotification", Flag(ad.Disable98AutoInsertNotification)},
        {"d", Flag(ad.d)},
        {"g", Flag(ad.g)},
        {"r", Flag(ad.r)}};
    const kfs::SArgumentEnabled& ae = p.ArgumentEnabled;
    json["Argument enabled"] = {
        {"s", Flag(ae.s)},
        {"c", Flag(ae.c)},
        {"b", Flag(ae.b)},
        {"h", Flag(ae.h)},
        {"v", Flag(ae.v)},
        {"e", Flag(ae.e)},
        {"k", Flag(ae.k)},
        {"u", Flag(ae.u)},
        {"i", Flag(ae.i)},
        {"n", Flag(ae.n)},
        {"a", Flag(ae.a)},
        {"p", Flag(ae.p)},
        {"m", Flag(ae.m)},
        {"o", Flag(ae.o)},
        {"f", Flag(ae.f)},
        {"t", Flag(ae.t)},
        {"y", Flag(ae.y)},
        {"Disable98AutoInsertNotification", Flag(ae.Disable98AutoInsertNotification)},
        {"d", Flag(ae.d)},
        {"g", Flag(ae.g)},
        {"r", Flag(ae.r)}};
    json["Other settings"] = {{"CheckSum", Flag(p.CheckSum)},
                              {"HardwareID", Flag(p.HardwareID)},
                              {"ModelName", Flag(p.ModelName)},
                              {"AvailableModel", Flag(p.AvailableModel)},
                              {"Verify", Flag(p.Verify)},
                              {"NoDisc", Flag(p.NoDisc)},
                              {"ImmediateAtapi", Flag(p.ImmediateAtapi)},
                              {"WriteNewCode", Flag(p.WriteNewCode)},
                              {"ErasePadRandom", Flag(p.ErasePadRandom)},
                              {"ErasePadChar", p.ErasePadChar},
                              {"Timer", Flag(p.Timer)}};
    auto list = [&](const std::vector<std::string>& lines) {
        Json array = Json::array();
        for (const std::string& line : lines) array.push_back(text(line));
        return array;
    };
    json["AvailableModelNames"] = list(p.AvailableModelNames);
    json["Title"] = list(p.Title);
    json["Flash Help"] = list(p.FlashHelp);
    json["Updater Help"] = list(p.UpdaterHelp);
    return json;
}

// A listing in the shape of a parameter text: "[section]", then "key=value" or the section's
// lines, each line list headed by its line count.
void PrintListing(const Json& json) {
    for (const auto& [section, content] : json.items()) {
        if (content.is_object()) {
            std::printf("[%s]\n", section.c_str());
            for (const auto& [key, value] : content.items()) {
                const std::string shown =
                    value.is_string() ? value.get<std::string>() : value.dump();
                std::printf("%s=%s\n", key.c_str(), shown.c_str());
            }
        } else {
            std::printf("[%s]  (%zu lines)\n", section.c_str(), content.size());
            for (const Json& line : content) std::printf("%s\n", line.get<std::string>().c_str());
        }
    }
}

// The file taken as the content of the parameter buffer: at most its capacity.
bool ReadParameterBufferFile(const std::string& fileName, std::vector<std::uint8_t>& content) {
    std::ifstream file(fileName, std::ios::binary);
    if (!file)
        return false;
    content.assign(kfs::kParameterTextCapacity, 0);
    file.read(reinterpret_cast<char*>(content.data()),
              static_cast<std::streamsize>(content.size()));
    if (file.bad())
        return false;
    content.resize(static_cast<std::size_t>(file.gcount()));
    return true;
}

constexpr const char* kParamsUsage =
    "usage: kfstool params [--json] [FILE]\n"
    "  FILE is read as the content of the parameter buffer (up to its first zero byte, at most\n"
    "  1 MiB); without FILE, or with an empty one, the built-in default text is read.\n"
    "  --json prints 8-bit text bytes as the code points of the same value.\n";

}  // namespace

int RunParams(const Args& args) {
    bool json = false;
    std::vector<std::string> files;
    CLI::App app{"", "kfstool params"};
    app.add_flag("--json", json);
    app.add_option("FILE", files);
    const kfstools::ParseOutcome parsed = kfstools::Parse(app, args);
    if (parsed.parsed == kfstools::Parsed::kHelp) {
        std::fputs(kParamsUsage, stdout);
        return 0;
    }
    if (parsed.parsed == kfstools::Parsed::kUsageError || files.size() > 1) {
        const std::string problem = parsed.parsed == kfstools::Parsed::kUsageError
                                        ? parsed.error
                                        : "more than one FILE given";
        std::fprintf(stderr, "kfstool params: %s\n%s", problem.c_str(), kParamsUsage);
        return 2;
    }
    std::vector<std::uint8_t> content;
    // A FIFO would hold the tool for ever at its opening.
    if (!files.empty()) {
        if (const auto problem = kfs::CheckRegularFile(files[0], kfstools::kMaxInputSize)) {
            std::fprintf(stderr, "kfstool params: %s: %s\n", files[0].c_str(), problem->c_str());
            return 1;
        }
    }
    if (!files.empty() && !ReadParameterBufferFile(files[0], content)) {
        std::fprintf(stderr, "kfstool params: cannot read %s\n", files[0].c_str());
        return 1;
    }
    kfs::SParameter p;
    kfs::ReadParameters(p, content);
    if (json) {
        std::printf("%s\n", Describe(p, Latin1ToUtf8).dump(2).c_str());
    } else {
        PrintListing(Describe(p, [](const std::string& s) { return s; }));
    }
    return 0;
}

int RunDefaultParams(const Args& args) {
    std::vector<std::string> files;
    CLI::App app{"", "kfstool default-params"};
    app.add_option("OUT", files);
    const kfstools::ParseOutcome parsed = kfstools::Parse(app, args);
    constexpr const char* kDefaultParamsUsage = "usage: kfstool default-params OUT\n";
    if (parsed.parsed == kfstools::Parsed::kHelp) {
        std::fputs(kDefaultParamsUsage, stdout);
        return 0;
    }
    if (parsed.parsed == kfstools::Parsed::kUsageError || files.size() != 1) {
        const std::string problem =
            parsed.parsed == kfstools::Parsed::kUsageError ? parsed.error : "expected one OUT";
        std::fprintf(stderr, "kfstool default-params: %s\n%s", problem.c_str(),
                     kDefaultParamsUsage);
        return 2;
    }
    if (!kfs::WriteDefaultParameterFile(files[0])) {
        std::fprintf(stderr, "kfstool default-params: cannot write %s\n", files[0].c_str());
        return 1;
    }
    return 0;
}

}  // namespace kfstool
