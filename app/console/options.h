#pragma once
// The command line of kfsflash.
#include <cstdint>
#include <optional>
#include <string>

namespace kfs::console {

enum class Answers { kAsk, kYes, kNo };

// The backup every update makes first, and --backup FILE, which only reads the flash.
struct BackupOptions {
    std::optional<std::string> file;       // --backup FILE: back up, write nothing
    std::optional<std::string> directory;  // --backup-dir DIR
    std::optional<std::uint64_t> size;     // --size N: bytes to read from the flash's start
    std::optional<int> flashType;          // --flash-type T: AtapiFlashType without firmware
    bool none = false;                     // --no-backup
};

struct Options {
    std::optional<std::string> firmware;  // the positional file, or --load
    std::optional<std::string> emulate, parameters, embedded, trace, drive;
    bool list = false, json = false;
    bool verify = true, silent = false, force = false;
    Answers answers = Answers::kAsk;
    bool noArguments = false;  // started without any argument at all
    BackupOptions backup;
};

// What the command line asks for: options to run with, or an exit with text already printed
// (--help and --version on standard output with status 0, a usage error on standard error).
struct ParseResult {
    std::optional<Options> options;
    int exitStatus = 0;
};

ParseResult ParseCommandLine(int argc, char** argv);

}  // namespace kfs::console
