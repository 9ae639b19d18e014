// Reading a drive description (JSON) into DriveDescription records.
#include <algorithm>
#include <fstream>
#include <initializer_list>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>

#include "emulator/emulator.h"

namespace kfs::emu {

namespace {

using nlohmann::json;

const json* Find(const json& object, const char* key) {
    auto it = object.find(key);
    return it == object.end() ? nullptr : &*it;
}

[[noreturn]] void Fail(std::size_t drive, const std::string& what) {
    throw DescriptionError("drive " + std::to_string(drive) + ": " + what);
}

// A key the description does not know is a slip of the pen ("famly", a fault's key outside
// "faults"): taken silently, the drive would quietly be another one than meant.
void OnlyKnownKeys(const json& object, std::initializer_list<const char*> known,
                   const std::string& where, std::optional<std::size_t> drive) {
    for (const auto& item : object.items()) {
        if (std::none_of(known.begin(), known.end(),
                         [&](const char* key) { return item.key() == key; })) {
            const std::string what = "unknown key \"" + item.key() + "\"" + where;
            if (drive)
                Fail(*drive, what);
            throw DescriptionError(what);
        }
    }
}

std::string Text(const json& object, const char* key, std::size_t drive, std::string fallback) {
    const json* v = Find(object, key);
    if (!v)
        return fallback;
    if (!v->is_string())
        Fail(drive, std::string("\"") + key + "\" must be a string");
    return v->get<std::string>();
}

bool Flag(const json& object, const char* key, std::size_t drive, bool fallback) {
    const json* v = Find(object, key);
    if (!v)
        return fallback;
    if (!v->is_boolean())
        Fail(drive, std::string("\"") + key + "\" must be true or false");
    return v->get<bool>();
}

std::uint64_t Number(const json& object, const char* key, std::size_t drive, std::uint64_t fallback,
                     std::uint64_t max) {
    const json* v = Find(object, key);
    if (!v)
        return fallback;
    if (!v->is_number_unsigned() || v->get<std::uint64_t>() > max)
        Fail(drive, std::string("\"") + key + "\" must be a whole number from 0 to " +
                        std::to_string(max));
    return v->get<std::uint64_t>();
}

// A fixed-width identity field: padded with blanks, never longer than the field.
std::string Field(const json& object, const char* key, std::size_t drive, std::size_t width,
                  const char* fallback) {
    std::string text = Text(object, key, drive, fallback);
    if (text.size() > width)
        Fail(drive, std::string("\"") + key + "\" is longer than " + std::to_string(width) +
                        " characters");
    text.resize(width, ' ');
    return text;
}

int HexByte(const std::string& text, std::size_t drive, const std::string& what) {
    if (text.empty() || text.size() > 2 ||
        text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        Fail(drive, what + ": \"" + text + "\" is not a hexadecimal byte");
    return std::stoi(text, nullptr, 16);
}

// "5a:a0" (operation code and byte 5) or "12" (operation code only).
void ParseCommand(const std::string& text, std::size_t drive, Fault& fault) {
    auto colon = text.find(':');
    fault.opcode = static_cast<std::uint8_t>(HexByte(text.substr(0, colon), drive, "command"));
    fault.subcode =
        colon == std::string::npos ? -1 : HexByte(text.substr(colon + 1), drive, "command");
}

// "05/24/00": sense key, additional sense code, qualifier in hexadecimal.
Sense ParseSense(const std::string& text, std::size_t drive) {
    std::vector<int> parts;
    std::stringstream in(text);
    std::string part;
    while (std::getline(in, part, '/')) parts.push_back(HexByte(part, drive, "sense"));
    if (parts.size() != 3)
        Fail(drive, "sense \"" + text + "\" must be KEY/ASC/ASCQ");
    return MakeSense(static_cast<std::uint8_t>(parts[0]), static_cast<std::uint8_t>(parts[1]),
                     static_cast<std::uint8_t>(parts[2]));
}

std::optional<Fault> ParseFault(const json& f, std::size_t drive) {
    if (!f.is_object())
        Fail(drive, "a fault must be an object");
    Fault fault;
    const auto keys = [&](std::initializer_list<const char*> known) {
        OnlyKnownKeys(f, known, " in a fault", drive);
    };
    if (const json* c = Find(f, "command")) {
        keys({"command", "nth", "sense", "errno", "carried_out", "no_answer", "from"});
        if (!c->is_string())
            Fail(drive, "fault \"command\" must be a string such as \"5a:a0\"");
        fault.kind = Fault::Kind::FailCommand;
        ParseCommand(c->get<std::string>(), drive, fault);
        fault.nth = static_cast<int>(Number(f, "nth", drive, 0, 1000000));
        fault.sense = ParseSense(Text(f, "sense", drive, "05/24/00"), drive);
        fault.systemError = static_cast<int>(Number(f, "errno", drive, 0, 4095));
        fault.carriedOut = Flag(f, "carried_out", drive, false);
        fault.noAnswer = Flag(f, "no_answer", drive, false);
        if (fault.noAnswer && (fault.systemError != 0 || fault.carriedOut || Find(f, "sense")))
            Fail(drive, "a \"no_answer\" fault has no \"sense\", \"errno\" or \"carried_out\"");
    } else if (Find(f, "stay_boot")) {
        keys({"stay_boot", "from"});
        fault.kind = Fault::Kind::StayBoot;
        fault.count = static_cast<int>(Number(f, "stay_boot", drive, 0, 1000000));
    } else if (Find(f, "never_ready")) {
        keys({"never_ready", "from"});
        if (!Flag(f, "never_ready", drive, false))
            return std::nullopt;
        fault.kind = Fault::Kind::NeverReady;
    } else if (Find(f, "flip_flash_byte")) {
        keys({"flip_flash_byte", "from"});
        fault.kind = Fault::Kind::FlipFlashByte;
        fault.offset =
            static_cast<std::uint32_t>(Number(f, "flip_flash_byte", drive, 0, 0xFFFFFFFF));
    } else if (const json* s = Find(f, "short_reply")) {
        keys({"short_reply", "bytes", "from"});
        if (!s->is_string())
            Fail(drive, "fault \"short_reply\" must be a string such as \"12\"");
        fault.kind = Fault::Kind::ShortReply;
        ParseCommand(s->get<std::string>(), drive, fault);
        if (Find(f, "bytes"))
            fault.bytes = static_cast<int>(Number(f, "bytes", drive, 0, 65535));
    } else {
        Fail(drive, "unknown fault " + f.dump());
    }
    fault.from = Number(f, "from", drive, 0, 0xFFFFFFFF);
    return fault;
}

DriveDescription ParseDrive(const json& d, std::size_t index) {
    if (!d.is_object())
        Fail(index, "must be an object");
    OnlyKnownKeys(d,
                  {"vendor", "product", "revision", "hardware_id", "date_code", "vendor_page",
                   "family", "flash_size", "keeps_checksum", "checksum", "tray_open", "medium",
                   "device_type", "host_adapter", "target", "lun", "seed", "rom_file", "time_scale",
                   "faults"},
                  "", index);
    DriveDescription out;
    out.vendor = Field(d, "vendor", index, 8, "KEMO");
    out.product = Field(d, "product", index, 16, "");
    out.revision = Field(d, "revision", index, 4, "1.00");
    out.hardwareId = Field(d, "hardware_id", index, 2, "");
    out.dateCode = Field(d, "date_code", index, 6, "");
    out.vendorPage = Flag(d, "vendor_page", index, true);
    out.family = Text(d, "family", index, "a0");
    const auto& families = KnownFamilies();
    if (std::find(families.begin(), families.end(), out.family) == families.end())
        Fail(index, "unknown family \"" + out.family + "\"");
    out.flashSize = static_cast<std::uint32_t>(
        Number(d, "flash_size", index, out.flashSize, 16u * 1024 * 1024));
    if (out.flashSize == 0)
        Fail(index, "\"flash_size\" must not be 0");
    out.keepsChecksum = Flag(d, "keeps_checksum", index, false);
    out.checksum = static_cast<std::uint16_t>(Number(d, "checksum", index, 0, 0xFFFF));
    out.trayOpen = Flag(d, "tray_open", index, false);
    out.medium = Flag(d, "medium", index, false);
    out.deviceType =
        static_cast<std::uint8_t>(Number(d, "device_type", index, kDeviceTypeCdRom, 0x1F));
    out.hostAdapter = static_cast<std::uint8_t>(Number(d, "host_adapter", index, 0, 255));
    out.target = static_cast<std::uint8_t>(Number(d, "target", index, index % 8, 7));
    out.lun = static_cast<std::uint8_t>(Number(d, "lun", index, 0, 7));
    out.seed = static_cast<std::uint32_t>(Number(d, "seed", index, 1, 0xFFFFFFFF));
    out.romFile = Text(d, "rom_file", index, "");
    out.timeScale = static_cast<std::uint32_t>(Number(d, "time_scale", index, 1, 1000));
    if (out.timeScale == 0)
        Fail(index, "\"time_scale\" must be 1 or more");
    if (const json* faults = Find(d, "faults")) {
        if (!faults->is_array())
            Fail(index, "\"faults\" must be a list");
        for (const json& f : *faults)
            if (auto fault = ParseFault(f, index))
                out.faults.push_back(*fault);
    }
    return out;
}

}  // namespace

std::vector<DriveDescription> ParseDescription(std::string_view text) {
    json root;
    try {
        root = json::parse(text.begin(), text.end());
    } catch (const json::exception& e) {
        throw DescriptionError(std::string("not valid JSON: ") + e.what());
    }
    if (!root.is_object() || !root.contains("drives") || !root["drives"].is_array())
        throw DescriptionError("the description must be an object with a \"drives\" list");
    OnlyKnownKeys(root, {"drives"}, " beside \"drives\"", std::nullopt);
    std::vector<DriveDescription> drives;
    for (const json& d : root["drives"]) drives.push_back(ParseDrive(d, drives.size()));
    return drives;
}

std::vector<DriveDescription> LoadDescriptionFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw DescriptionError("cannot open " + path);
    std::stringstream text;
    text << in.rdbuf();
    return ParseDescription(text.str());
}

}  // namespace kfs::emu
