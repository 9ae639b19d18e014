#pragma once
// A file of the program's own in the system's temporary folder: created exclusively under a name
// nobody else holds (so that no file of the user's is ever opened, replaced or removed), open for
// reading and writing, and removed when the object ends. On POSIX its name is removed as soon as
// it is created, so that no outcome of the process leaves it behind; path() then names what it
// was called.
//
// The folder is the one the system names for temporary files: GetTempPath on Windows, $TMPDIR
// (or /tmp) elsewhere.
#include <cstdio>
#include <memory>
#include <string>
#include <utility>

namespace kfs {

class TemporaryFile {
  public:
    // A new, empty file; nullptr when none can be created in the temporary folder.
    static std::unique_ptr<TemporaryFile> Create();

    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    ~TemporaryFile();  // closes and removes the file

    std::FILE* stream() const { return stream_; }
    const std::string& path() const { return path_; }

  private:
    TemporaryFile(std::FILE* stream, std::string path) : stream_(stream), path_(std::move(path)) {}

    std::FILE* stream_;
    std::string path_;
};

// The folder where TemporaryFile creates its files, with its trailing separator.
std::string TemporaryFolder();

}  // namespace kfs
