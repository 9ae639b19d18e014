#pragma once
// "--option=value" as well as "--option value" for the tools: the first form is split into the
// second before the options are read, for the options that take a value.
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace kfstools {

inline std::vector<std::string> SplitOptionValues(const std::vector<std::string>& args,
                                                  std::initializer_list<std::string_view> valued) {
    std::vector<std::string> out;
    for (const std::string& arg : args) {
        const std::size_t equals = arg.find('=');
        bool split = false;
        if (arg.rfind("--", 0) == 0 && equals != std::string::npos) {
            for (std::string_view name : valued)
                split |= std::string_view(arg).substr(0, equals) == name;
        }
        if (split) {
            out.push_back(arg.substr(0, equals));
            out.push_back(arg.substr(equals + 1));
        } else {
            out.push_back(arg);
        }
    }
    return out;
}

}  // namespace kfstools
