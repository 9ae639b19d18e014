#pragma once
// The sub-commands of kfstool; each takes the arguments after its own name.
#include <string>
#include <vector>

namespace kfstool {

using Args = std::vector<std::string>;

int RunInfo(const Args& args);           // info [--json] FILE
int RunUnpack(const Args& args);         // unpack FILE OUT
int RunPack(const Args& args);           // pack [options] IMAGE OUT
int RunParams(const Args& args);         // params [--json] [FILE]
int RunDefaultParams(const Args& args);  // default-params OUT

}  // namespace kfstool
