// The set of emulated drives: command dispatch, fault injection, the common (non-flash) commands,
// the virtual clock and the command trace.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "container/byte_order.h"
#include "emulator/emulator.h"

namespace kfs::emu {

namespace {

// Time a drive needs to spin up and read the table of contents after the tray closes on a disc.
constexpr std::uint32_t kSpinUpMs = 1500;

bool Matches(const Fault& f, const Command& c) {
    return f.opcode == c.opcode() && (f.subcode < 0 || f.subcode == c.cdb[5]);
}

// What TEST UNIT READY would say now; all zero when the drive is ready.
Sense Readiness(const Drive& d, std::uint64_t now) {
    if (d.HasFault(Fault::Kind::NeverReady))
        return MakeSense(0x02, 0x04, 0x01);
    if (d.IsBusy(now))
        return d.busySense();
    if (d.trayOpen)
        return MakeSense(0x02, 0x3A, 0x02);  // medium not present, tray open
    if (!d.medium)
        return MakeSense(0x02, 0x3A, 0x01);  // medium not present, tray closed
    return Sense{};
}

bool IsClear(const Sense& s) {
    return s[2] == 0 && s[12] == 0 && s[13] == 0;
}

Outcome Reply(const Command& c, std::uint8_t* out, const std::uint8_t* data, std::size_t size) {
    std::size_t n = std::min<std::size_t>(size, c.length);
    if (n > 0)
        std::memcpy(out, data, n);
    return Outcome::Good(static_cast<std::uint32_t>(n));
}

Outcome InvalidField() {
    return Outcome::Check(0x05, 0x24, 0x00);
}

// GET EVENT STATUS NOTIFICATION, polled: the media class when it is asked for, else the device
// busy class, else "no event available".
Outcome EventStatus(const Drive& d, const Command& c, std::uint8_t* out) {
    if ((c.cdb[1] & 0x01) == 0)
        return InvalidField();  // asynchronous operation not supported
    std::uint8_t reply[8] = {0x00, 0x06, 0x00, 0x50, 0, 0, 0, 0};
    std::uint8_t classes = c.cdb[4];
    std::size_t size = 8;
    if (classes & 0x10) {
        reply[2] = 0x04;
        reply[5] = static_cast<std::uint8_t>((d.trayOpen ? 0x01 : 0) | (d.medium ? 0x02 : 0));
    } else if (classes & 0x40) {
        reply[2] = 0x06;
    } else {
        reply[1] = 0x02;
        reply[2] = 0x80;  // no event available
        size = 4;
    }
    return Reply(c, out, reply, std::min<std::size_t>(size, GetBe16(&c.cdb[7])));
}

Outcome Vendor(Drive& d, const Command& c, std::uint8_t* out) {
    const DriveDescription& desc = d.description();
    if (c.IsVendor(0x38)) {
        switch (c.cdb[5]) {
            case 0x10: {  // identification page
                if (!desc.vendorPage)
                    return InvalidField();
                std::uint8_t reply[20] = {'K', 'E', 'M', 'O'};
                std::memcpy(reply + 18, desc.hardwareId.data(), 2);
                return Reply(c, out, reply, sizeof reply);
            }
            case 0x11: {  // read flash ROM: bank in byte 9, address in 6-7, length in 10-11
                std::size_t at = std::size_t{c.cdb[9]} << 16 | GetBe16(&c.cdb[6]);
                std::size_t n = std::min<std::size_t>(GetBe16(&c.cdb[10]), c.length);
                if (at + n > d.rom().size())
                    return Outcome::Check(0x05, 0x21, 0x00);
                return Reply(c, out, d.rom().data() + at, n);
            }
            case 0xA3:  // vendor block: the start of the ROM
                return Reply(c, out, d.rom().data(), std::min<std::size_t>(d.rom().size(), 65535));
        }
        return InvalidField();
    }
    if (c.IsVendor(0x34) && desc.vendorPage) {
        if (c.cdb[5] == 0x00) {  // feature query: byte 6 bit 6 = keeps a firmware check sum
            std::uint8_t reply[10] = {'K', 'E', 0x05};
            reply[6] = desc.keepsChecksum ? 0x40 : 0x00;
            return Reply(c, out, reply, sizeof reply);
        }
        if (c.cdb[5] == 0x0B && desc.keepsChecksum) {
            if (c.cdb[6] == 0x01) {  // set: the expected check sum travels in bytes 9-10
                d.checksum = GetBe16(&c.cdb[9]);
                return Outcome::Good(std::min<std::uint32_t>(c.length, 10));
            }
            std::uint8_t reply[8] = {'K', 'E', 0x05};
            PutBe16(reply + 6, d.checksum);
            return Reply(c, out, reply, sizeof reply);
        }
    }
    return InvalidField();
}

}  // namespace

struct DriveSet::Impl {
    std::vector<Drive> drives;
    std::vector<std::unique_ptr<FlashProtocol>> protocols;
    std::uint64_t now = 0;
    TraceSink trace;
    std::unique_ptr<std::ofstream> traceFile;

    Outcome Common(Drive& d, const Command& c, std::uint8_t* out) {
        switch (c.opcode()) {
            case 0x00: {  // TEST UNIT READY
                Sense s = Readiness(d, now);
                if (IsClear(s))
                    return Outcome::Good();
                return {false, s, 0};
            }
            case 0x03: {  // REQUEST SENSE: the kept sense, else the present condition
                Sense s = IsClear(d.pendingSense) ? Readiness(d, now) : d.pendingSense;
                if (IsClear(s))
                    s = MakeSense(0, 0, 0);
                d.pendingSense = Sense{};
                return Reply(c, out, s.data(), std::min<std::size_t>(s.size(), c.cdb[4]));
            }
            case 0x12: {  // INQUIRY
                if (c.cdb[1] & 0x01)
                    return InvalidField();  // no vital product data pages
                auto inquiry = d.Inquiry();
                return Reply(c, out, inquiry.data(),
                             std::min<std::size_t>(inquiry.size(), GetBe16(&c.cdb[3])));
            }
            case 0x1B: {  // START STOP UNIT
                bool load_eject = c.cdb[4] & 0x02, start = c.cdb[4] & 0x01;
                if (load_eject && !start) {
                    if (d.locked)
                        return Outcome::Check(0x05, 0x53, 0x02);  // removal prevented
                    d.trayOpen = true;
                } else if (load_eject && d.trayOpen) {
                    d.trayOpen = false;
                    if (d.medium)
                        d.SetBusy(now + kSpinUpMs, MakeSense(0x02, 0x04, 0x01));
                }
                return Outcome::Good();
            }
            case 0x1E:  // PREVENT ALLOW MEDIUM REMOVAL
                d.locked = c.cdb[4] & 0x01;
                return Outcome::Good();
            case 0x4A:
                return EventStatus(d, c, out);
            case 0x5A:
                return Vendor(d, c, out);
        }
        return Outcome::Check(0x05, 0x20, 0x00);  // invalid command operation code
    }
};

DriveSet::DriveSet(std::vector<DriveDescription> drives) : impl_(std::make_unique<Impl>()) {
    impl_->drives.reserve(drives.size());
    for (auto& desc : drives) {
        impl_->protocols.push_back(MakeFlashProtocol(desc.family));
        impl_->drives.emplace_back(std::move(desc));
    }
}

DriveSet DriveSet::FromJson(std::string_view json) {
    return DriveSet(ParseDescription(json));
}
DriveSet DriveSet::FromFile(const std::string& path) {
    return DriveSet(LoadDescriptionFile(path));
}
DriveSet::DriveSet(DriveSet&&) noexcept = default;
DriveSet& DriveSet::operator=(DriveSet&&) noexcept = default;
DriveSet::~DriveSet() = default;

int DriveSet::Count() const {
    return static_cast<int>(impl_->drives.size());
}
Drive& DriveSet::drive(int index) {
    return impl_->drives.at(static_cast<std::size_t>(index));
}
const Drive& DriveSet::drive(int index) const {
    return impl_->drives.at(static_cast<std::size_t>(index));
}

std::uint64_t DriveSet::Now() const {
    return impl_->now;
}

void DriveSet::Advance(std::uint32_t ms) {
    impl_->now += ms;
    for (std::size_t i = 0; i < impl_->drives.size(); ++i)
        impl_->protocols[i]->Tick(impl_->drives[i], impl_->now);
}

Outcome DriveSet::Execute(int index, const std::uint8_t* cdb, std::uint8_t* buffer,
                          std::uint16_t length, std::uint8_t direction) {
    if (index < 0 || index >= Count())
        return Outcome::Check(0x05, 0x25, 0x00);
    if (impl_->trace)
        impl_->trace(TraceLine(cdb, direction, length));

    Drive& d = impl_->drives[static_cast<std::size_t>(index)];
    FlashProtocol& protocol = *impl_->protocols[static_cast<std::size_t>(index)];
    Command c;
    std::memcpy(c.cdb.data(), cdb, c.cdb.size());
    c.direction = direction;
    c.length = buffer ? length : 0;
    // Data in goes through a scratch buffer so that a short reply leaves the rest of the
    // caller's buffer as it was, as a real transfer would. Data out (or a buffer given without a
    // data phase) is read from a copy: whatever a handler answers never lands in the caller's
    // buffer, since nothing comes back from the drive in that direction.
    std::vector<std::uint8_t> scratch;
    if (direction == kDirIn)
        scratch.assign(c.length, 0);
    else
        scratch.assign(buffer, buffer + c.length);
    c.data = scratch.data();
    ++d.commandCount_;
    protocol.Tick(d, impl_->now);

    std::optional<Outcome> result;
    std::optional<Outcome> afterwards;  // a failure reported once the command is carried out
    for (std::size_t i = 0; i < d.description().faults.size(); ++i) {
        const Fault& f = d.description().faults[i];
        if (f.kind != Fault::Kind::FailCommand || !d.FaultHolds(f) || !Matches(f, c))
            continue;
        int hit = ++d.faultHits_[i];
        if (result || afterwards || (f.nth != 0 && f.nth != hit))
            continue;
        const Outcome failure = f.noAnswer           ? Outcome{false, Sense{}, 0, 0, true}
                                : f.systemError != 0 ? Outcome{false, Sense{}, 0, f.systemError}
                                                     : Outcome{false, f.sense, 0};
        (f.carriedOut ? afterwards : result) = failure;
    }
    if (!result)
        result = protocol.Handle(d, c, impl_->now);
    if (!result)
        result = impl_->Common(d, c, c.data);
    if (afterwards)
        result = afterwards;

    // A reply never moves more than the transfer length, whatever a protocol reports.
    result->transferred = std::min<std::uint32_t>(result->transferred, c.length);
    if (result->good && direction == kDirIn) {
        for (const Fault& f : d.description().faults)
            if (f.kind == Fault::Kind::ShortReply && d.FaultHolds(f) && Matches(f, c))
                result->transferred = std::min<std::uint32_t>(
                    result->transferred,
                    f.bytes < 0 ? c.length / 2u : static_cast<std::uint32_t>(f.bytes));
        if (buffer && result->transferred > 0)
            std::memcpy(buffer, scratch.data(), result->transferred);
    }
    if (!result->good && c.opcode() != 0x03 && result->systemError == 0 && !result->unanswered)
        d.pendingSense = result->sense;
    if (result->good)
        result->sense = Sense{};
    return *result;
}

void DriveSet::SetTrace(TraceSink sink) {
    impl_->trace = std::move(sink);
}

bool DriveSet::SaveRomFiles() const {
    bool saved = true;
    for (int i = 0; i < Count(); ++i) {
        const Drive& d = drive(i);
        if (d.description().romFile.empty() || !d.romMade())
            continue;
        std::ofstream out(d.description().romFile, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(d.rom().data()),
                  static_cast<std::streamsize>(d.rom().size()));
        saved = saved && out.good();
    }
    return saved;
}

bool DriveSet::SetTraceFile(const std::string& path) {
    impl_->trace = nullptr;
    impl_->traceFile.reset();
    if (path.empty())
        return true;
    auto file = std::make_unique<std::ofstream>(path, std::ios::app);
    if (!*file)
        return false;
    impl_->traceFile = std::move(file);
    std::ofstream* out = impl_->traceFile.get();
    impl_->trace = [out](const std::string& line) { *out << line << '\n' << std::flush; };
    return true;
}

std::string DriveSet::TraceLine(const std::uint8_t* cdb, std::uint8_t direction,
                                std::uint16_t length) {
    char hex[3];
    std::string line;
    for (int i = 0; i < 12; ++i) {
        std::snprintf(hex, sizeof hex, "%02x", cdb[i]);
        line += hex;
    }
    line += direction == kDirIn ? " in " : direction == kDirOut ? " out " : " none ";
    line += std::to_string(length);
    return line;
}

}  // namespace kfs::emu
