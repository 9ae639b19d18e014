#pragma once
// What the tools read and write. An input is a regular file of bounded size (a FIFO would hang
// the tool, /dev/zero would be read until memory runs out); an output is never one of the inputs
// (a hard link to one included), never written through a symbolic link and never a folder.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "container/file_helpers.h"

namespace kfstools {

// Larger than any firmware file or updater copy the tools handle.
inline constexpr std::uint64_t kMaxInputSize = 64ull * 1024 * 1024;

// The whole input, or why not ("a FIFO, not a regular file", "larger than ... bytes").
inline kfs::InputFile ReadInput(const std::string& name) {
    return kfs::ReadRegularFile(name, kMaxInputSize);
}

// Why `output` may not be written, or nothing.
inline std::optional<std::string> OutputProblem(const std::string& output,
                                                const std::vector<std::string>& inputs) {
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::file_status status = fs::symlink_status(output, error);
    if (fs::is_symlink(status))
        return std::string("a symbolic link: never written through (name a file of its own)");
    if (fs::is_directory(status))
        return std::string("a folder");
    for (const std::string& input : inputs) {
        std::error_code ignored;
        if (input == output || fs::equivalent(input, output, ignored))
            return "the same file as the input " + input + ": an input is never replaced";
    }
    return std::nullopt;
}

// Writes `bytes` as the whole content of `output`, checked by OutputProblem first: into a new file
// beside it, which takes the name only once it is complete and read back equal, so that a write
// that fails (a full disk) leaves the old file as it was, or no file, never a partial one. A
// device or a FIFO given as the output (/dev/null, a pipe) is written as it is. The reason when
// it cannot be written.
inline std::optional<std::string> WriteOutput(const std::string& output,
                                              const std::vector<std::uint8_t>& bytes) {
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::file_status status = fs::symlink_status(output, error);
    if (fs::exists(status) && !fs::is_regular_file(status)) {
        if (kfs::WriteWholeFile(output, bytes))
            return std::nullopt;
        return std::string("cannot write the file");
    }
    const fs::path path(output);
    for (int n = 0; n < 100; ++n) {
        const std::string staged =
            (path.parent_path() / ("." + path.filename().string() + ".new" + std::to_string(n)))
                .string();
        const kfs::NewFileOutcome written = kfs::WriteNewFile(staged, bytes);
        if (written.exists)
            continue;
        if (!written.written)
            return written.reason;
        fs::rename(staged, output, error);
        if (!error)
            return std::nullopt;
        fs::remove(staged, error);
        return std::string("cannot name the file");
    }
    return std::string("no free name beside it");
}

}  // namespace kfstools
