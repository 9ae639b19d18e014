#include "flash/procedure_support.h"

#include <algorithm>

namespace kfs {

void AddOpeningLines(FlashView& view, const std::string& pleaseWait) {
    view.AddLine("WARNING !!!");
    view.AddLine(pleaseWait);
    view.AddLine("Flashing is processing...");
}

ImagePiece::ImagePiece(const std::vector<std::uint8_t>& image, std::size_t offset,
                       std::size_t length, std::span<const std::size_t> cleared) {
    auto inPiece = [&](std::size_t at) { return at >= offset && at - offset < length; };
    const bool clears = std::any_of(cleared.begin(), cleared.end(), inPiece);
    if (offset <= image.size() && length <= image.size() - offset && length > 0 && !clears) {
        data_ = image.data() + offset;
        return;
    }
    copy_.assign(std::max<std::size_t>(length, 1), 0);
    if (offset < image.size()) {
        std::size_t inside = std::min(length, image.size() - offset);
        std::copy_n(image.begin() + static_cast<std::ptrdiff_t>(offset), inside, copy_.begin());
    }
    for (std::size_t at : cleared)
        if (inPiece(at))
            copy_[at - offset] = 0;
    data_ = copy_.data();
}

}  // namespace kfs
