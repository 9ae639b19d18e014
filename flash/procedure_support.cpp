#include "flash/procedure_support.h"

#include <algorithm>

namespace kfs {

void AddOpeningLines(FlashView& view, const std::string& pleaseWait) {
    view.AddLine("WARNING !!!");
    view.AddLine(pleaseWait);
    view.AddLine("Flashing is processing...");
}

std::uint16_t Sum16(const std::uint8_t* data, std::size_t size) {
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < size; ++i) sum += data[i];
    return static_cast<std::uint16_t>(sum);
}

ImagePiece::ImagePiece(std::vector<std::uint8_t>& image, std::size_t offset, std::size_t length) {
    if (offset <= image.size() && length <= image.size() - offset && length > 0) {
        data_ = image.data() + offset;
        return;
    }
    padded_.assign(std::max<std::size_t>(length, 1), 0);
    if (offset < image.size()) {
        std::size_t inside = std::min(length, image.size() - offset);
        std::copy_n(image.begin() + static_cast<std::ptrdiff_t>(offset), inside, padded_.begin());
    }
    data_ = padded_.data();
}

}  // namespace kfs
