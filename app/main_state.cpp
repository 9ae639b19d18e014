#include "app/main_state.h"

#include <cstdio>

namespace kfs {

const char* MessageBuffer::Format(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    std::vsnprintf(text_.data(), text_.size(), format, args);
    va_end(args);
    return text_.data();
}

}  // namespace kfs
