#include "container/buffer_merge.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "container/buffer_layout.h"
#include "container/byte_order.h"
#include "container/identity.h"
#include "container/kfs_decode.h"
#include "container/kfs_parameter.h"
#include "container/record_finder.h"

namespace kfs {
namespace {

// Images beyond this are no firmware of any drive; refusing them keeps a hostile header from
// making the tool allocate gigabytes.
constexpr std::uint32_t kMaxImageLength = 64u << 20;

std::string Bytes(std::size_t count) {
    return std::to_string(count) + " bytes";
}

std::string Quoted(std::string_view text) {
    std::string quoted;
    quoted.reserve(text.size() + 2);
    quoted.append(1, '"').append(text).append(1, '"');
    return quoted;
}

// Decodes a container the way the program does at start-up. nullopt when it decodes.
std::optional<std::string> DecodeProblem(std::span<const std::uint8_t> container,
                                         SKFSParameter& parameter,
                                         std::vector<std::uint8_t>& image) {
    const std::uint32_t length = GetImageLength(container);
    if (length == 0)
        return "its header gives no usable image length";
    if (length > kMaxImageLength)
        return "its header claims an image of " + Bytes(length);
    image.assign(length, 0);
    std::string reason;
    if (!LoadKFS(container, parameter, image, &reason)) {
        return reason.empty() ? std::string("it does not decode") : reason;
    }
    return std::nullopt;
}

std::optional<std::string> CheckFits(std::size_t size, const BufferRecordLayout& layout) {
    if (size <= layout.capacity)
        return std::nullopt;
    return Bytes(size) + " do not fit buffer " + Quoted(layout.tag) + " (capacity " +
           Bytes(layout.capacity) + ")";
}

std::optional<std::string> CheckPhilipsFile(const std::vector<std::uint8_t>& file) {
    const BufferRecordLayout& layout = RecordLayout(BufferId::kCvt);
    if (!IsPhilipsFile(file))
        return "the Philips file does not begin with \"Philips\"";
    if (auto problem = CheckFits(4 + file.size(), layout))
        return "the Philips form: " + *problem;
    SKFSParameter parameter;
    std::vector<std::uint8_t> image;
    if (auto problem = DecodeProblem(PhilipsFormFromFile(file), parameter, image)) {
        return "the Philips file does not decode: " + *problem;
    }
    return std::nullopt;
}

std::optional<std::string> CheckKfsContainer(const std::vector<std::uint8_t>& container, int slot) {
    const BufferRecordLayout& layout = RecordLayout(static_cast<BufferId>(slot));
    std::string name = "KFS container ";
    name += std::to_string(slot);
    if (auto problem = CheckFits(container.size(), layout))
        return name + ": " + *problem;
    const KfsForm form = GetKfsForm(container);
    if (form == KfsForm::kPhilips) {
        return name + " is in the Philips form; a Philips file goes into the CVT buffer";
    }
    if (form == KfsForm::kNone) {
        return name + (container.size() < 25 ? " is too short to be a KFS container"
                                             : " is no KFS container (unknown version byte)");
    }
    SKFSParameter parameter;
    std::vector<std::uint8_t> image;
    if (auto problem = DecodeProblem(container, parameter, image)) {
        return name + " does not decode: " + *problem;
    }
    return std::nullopt;
}

void WriteData(std::vector<std::uint8_t>& executable, std::size_t dataOffset,
               const BufferRecordLayout& layout, std::span<const std::uint8_t> content) {
    auto data = executable.begin() + static_cast<std::ptrdiff_t>(dataOffset);
    std::fill(data, data + layout.capacity, std::uint8_t{0});
    std::copy(content.begin(), content.end(), data);
}

bool AllZero(std::span<const std::uint8_t> bytes) {
    return std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0; });
}

std::string DescribeContainer(std::span<const std::uint8_t> data) {
    const KfsForm form = GetKfsForm(data);
    if (form == KfsForm::kPhilips) {
        const std::uint32_t length = GetBe32(data.data());
        std::string text = "Philips form, length " + std::to_string(length);
        SKFSParameter parameter;
        std::vector<std::uint8_t> image;
        if (auto problem = DecodeProblem(data, parameter, image)) {
            text += ", does not decode: " + *problem;
        }
        return text;
    }
    if (form == KfsForm::kNone)
        return "unrecognised content (no KFS container)";
    SKFSParameter parameter;
    std::vector<std::uint8_t> image;
    const std::string name = form == KfsForm::kKfs3 ? "KFS3 container" : "KFS1 container";
    if (auto problem = DecodeProblem(data, parameter, image)) {
        return name + ", does not decode: " + *problem;
    }
    std::size_t size = 0;
    for (std::uint32_t bank : parameter.BankSizes) size += bank;
    if (form == KfsForm::kKfs3) {
        size += 56 + 4 * parameter.BankSizes.size() + 8 * parameter.ReservedBlocks.size();
    } else {
        size += parameter.BankSizes.size() > 8 ? 112 : 64;
    }
    return name + ", " + Bytes(size) + ", image " + Bytes(image.size()) + ", model " +
           Quoted(GetImageModelName(image));
}

std::string DescribeParameters(std::span<const std::uint8_t> data) {
    const auto end = std::find(data.begin(), data.end(), std::uint8_t{0});
    const std::string text(data.begin(), end);
    const std::size_t line_end = text.find("\r\n");
    return "parameter text, " + Bytes(text.size()) + ", first line " +
           Quoted(text.substr(0, line_end));
}

}  // namespace

bool MakesUpdater(const BufferContents& contents) {
    return contents.philipsFile.has_value() ||
           std::any_of(contents.kfs.begin(), contents.kfs.end(),
                       [](const auto& container) { return container.has_value(); });
}

MergeOutcome MergeBuffers(std::vector<std::uint8_t>& executable, const BufferContents& contents,
                          std::span<const std::uint8_t> shippedParameters) {
    MergeOutcome outcome;
    const RecordLocations records = FindBufferRecords(executable);
    if (!records.found) {
        outcome.error = "not a program with the five buffers: " + records.error;
        return outcome;
    }

    if (contents.philipsFile) {
        if (auto problem = CheckPhilipsFile(*contents.philipsFile)) {
            outcome.error = *problem;
            return outcome;
        }
    }
    for (int slot = 1; slot <= 3; ++slot) {
        if (const auto& container = contents.kfs[slot - 1]) {
            if (auto problem = CheckKfsContainer(*container, slot)) {
                outcome.error = *problem;
                return outcome;
            }
        }
    }
    std::span<const std::uint8_t> parameters;
    bool write_parameters = false;
    if (contents.parameters) {
        parameters = *contents.parameters;
        write_parameters = true;
    } else if (MakesUpdater(contents)) {
        parameters = shippedParameters;
        write_parameters = true;
        outcome.notes.push_back("no parameter text given: the shipped updater text is used");
    }
    if (write_parameters) {
        if (auto problem = CheckFits(parameters.size(), RecordLayout(BufferId::kParameters))) {
            outcome.error = "the parameter text: " + *problem;
            return outcome;
        }
        const auto zero = std::find(parameters.begin(), parameters.end(), std::uint8_t{0});
        if (zero != parameters.end()) {
            outcome.notes.push_back("the parameter text holds a zero byte at offset " +
                                    std::to_string(zero - parameters.begin()) +
                                    "; the program reads the text only up to it");
        }
    }

    const auto offset = [&](BufferId id) {
        return records.dataOffset[static_cast<std::size_t>(id)];
    };
    if (contents.philipsFile) {
        WriteData(executable, offset(BufferId::kCvt), RecordLayout(BufferId::kCvt),
                  PhilipsFormFromFile(*contents.philipsFile));
    }
    for (int slot = 1; slot <= 3; ++slot) {
        if (const auto& container = contents.kfs[slot - 1]) {
            const auto id = static_cast<BufferId>(slot);
            WriteData(executable, offset(id), RecordLayout(id), *container);
        }
    }
    if (write_parameters) {
        WriteData(executable, offset(BufferId::kParameters), RecordLayout(BufferId::kParameters),
                  parameters);
    }
    outcome.ok = true;
    return outcome;
}

BufferListing ListBuffers(std::span<const std::uint8_t> executable) {
    BufferListing listing;
    const RecordLocations records = FindBufferRecords(executable);
    if (!records.found) {
        listing.error = "not a program with the five buffers: " + records.error;
        return listing;
    }
    for (std::size_t i = 0; i < kBufferRecords.size(); ++i) {
        const auto data = executable.subspan(records.dataOffset[i], kBufferRecords[i].capacity);
        if (AllZero(data)) {
            listing.descriptions[i] = "empty";
        } else if (static_cast<BufferId>(i) == BufferId::kParameters) {
            listing.descriptions[i] = DescribeParameters(data);
        } else {
            listing.descriptions[i] = DescribeContainer(data);
        }
    }
    listing.ok = true;
    return listing;
}

}  // namespace kfs
