#pragma once
// The built-in default parameter text: what the program reads when its parameter buffer is
// empty, and what Output Default Parameter File writes.
#include <string>
#include <vector>

namespace kfs {

// The 57 lines, without line ends.
const std::vector<std::string>& DefaultParameterLines();

// Writes the 57 lines, each ended by CR LF, as the file's whole new content.
bool WriteDefaultParameterFile(const std::string& fileName);

}  // namespace kfs
