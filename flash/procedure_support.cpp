#include "flash/procedure_support.h"

#include <algorithm>

namespace kfs {

bool TriggerRefused(const CommandResult& result) {
    if (result.good())
        return false;
    if (result.NeverSent())
        return true;
    if (result.outcome != CommandResult::Outcome::CheckCondition || !result.certain)
        return false;  // the status was lost on the way
    const std::uint8_t key = result.sense[2] & 0x0F;
    // No sense and a recovered error are no refusal; a unit attention reports a restart.
    return key != 0x00 && key != 0x01 && key != 0x06;
}

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
