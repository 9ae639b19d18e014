#pragma once
// The tools read their options with CLI11 and keep their own help and usage texts: CLI11's
// generated help would change what --help prints and what help2man turns into the man pages.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <string>
#include <vector>

namespace kfstools {

enum class Parsed { kRun, kHelp, kUsageError };

struct ParseOutcome {
    Parsed parsed = Parsed::kRun;
    std::string error;  // what was wrong with the command line, for kUsageError
};

// Parses args (without the program name, in command-line order) into app, an App made with its
// default -h/--help flag: help is recognised before anything else is checked, options take
// "--option value" or "--option=value", and nothing unknown is let through.
inline ParseOutcome Parse(CLI::App& app, std::vector<std::string> args) {
    std::reverse(args.begin(), args.end());  // CLI11 takes the vector last argument first
    try {
        app.parse(args);
    } catch (const CLI::CallForHelp&) {
        return {Parsed::kHelp, {}};
    } catch (const CLI::ParseError& e) {
        return {Parsed::kUsageError, e.what()};
    }
    return {};
}

}  // namespace kfstools
