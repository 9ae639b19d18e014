#include "container/parameters.h"

#include <algorithm>

#include "container/default_parameters.h"

namespace kfs {

SParameter ParametersFromLines(const Lines& lines) {
    const SParameter fallback;
    SParameter p;
    auto flag = [&](const char* section, const char* key, bool& out, bool def) {
        out = GetIniBool(lines, section, key, def);
    };
    auto integer = [&](const char* section, const char* key, std::int32_t& out, std::int32_t def) {
        out = GetIniInt(lines, section, key, def);
    };

    constexpr const char* kMain = "Main";
    flag(kMain, "Updater", p.Updater, fallback.Updater);
    flag(kMain, "ShowCaption", p.ShowCaption, fallback.ShowCaption);
    p.ProgramName = GetIniString(lines, kMain, "ProgramName", fallback.ProgramName);
    flag(kMain, "ShowVersion", p.ShowVersion, fallback.ShowVersion);
    flag(kMain, "ShowDate", p.ShowDate, fallback.ShowDate);

    constexpr const char* kDefault = "Argument default value";
    SArgumentDefaultValue& ad = p.ArgumentDefault;
    const SArgumentDefaultValue& fd = fallback.ArgumentDefault;
    flag(kDefault, "s", ad.s, fd.s);
    flag(kDefault, "k", ad.k, fd.k);
    flag(kDefault, "u", ad.u, fd.u);
    flag(kDefault, "i", ad.i, fd.i);
    integer(kDefault, "n", ad.n, fd.n);
    integer(kDefault, "a", ad.a, fd.a);
    flag(kDefault, "y", ad.y, fd.y);
    flag(kDefault, "Disable98AutoInsertNotification", ad.Disable98AutoInsertNotification,
         fd.Disable98AutoInsertNotification);
    flag(kDefault, "d", ad.d, fd.d);
    flag(kDefault, "g", ad.g, fd.g);
    flag(kDefault, "r", ad.r, fd.r);

    constexpr const char* kEnabled = "Argument enabled";
    SArgumentEnabled& ae = p.ArgumentEnabled;
    const SArgumentEnabled& fe = fallback.ArgumentEnabled;
    flag(kEnabled, "s", ae.s, fe.s);
    flag(kEnabled, "c", ae.c, fe.c);
    flag(kEnabled, "b", ae.b, fe.b);
    flag(kEnabled, "h", ae.h, fe.h);
    flag(kEnabled, "v", ae.v, fe.v);
    flag(kEnabled, "e", ae.e, fe.e);
    flag(kEnabled, "k", ae.k, fe.k);
    flag(kEnabled, "u", ae.u, fe.u);
    flag(kEnabled, "i", ae.i, fe.i);
    flag(kEnabled, "n", ae.n, fe.n);
    flag(kEnabled, "a", ae.a, fe.a);
    flag(kEnabled, "p", ae.p, fe.p);
    flag(kEnabled, "m", ae.m, fe.m);
    flag(kEnabled, "o", ae.o, fe.o);
    flag(kEnabled, "f", ae.f, fe.f);
    flag(kEnabled, "t", ae.t, fe.t);
    flag(kEnabled, "y", ae.y, fe.y);
    flag(kEnabled, "Disable98AutoInsertNotification", ae.Disable98AutoInsertNotification,
         fe.Disable98AutoInsertNotification);
    flag(kEnabled, "d", ae.d, fe.d);
    flag(kEnabled, "g", ae.g, fe.g);
    flag(kEnabled, "r", ae.r, fe.r);

    constexpr const char* kOther = "Other settings";
    flag(kOther, "CheckSum", p.CheckSum, fallback.CheckSum);
    flag(kOther, "HardwareID", p.HardwareID, fallback.HardwareID);
    flag(kOther, "ModelName", p.ModelName, fallback.ModelName);
    flag(kOther, "AvailableModel", p.AvailableModel, fallback.AvailableModel);
    flag(kOther, "Verify", p.Verify, fallback.Verify);
    flag(kOther, "NoDisc", p.NoDisc, fallback.NoDisc);
    flag(kOther, "ImmediateAtapi", p.ImmediateAtapi, fallback.ImmediateAtapi);
    flag(kOther, "WriteNewCode", p.WriteNewCode, fallback.WriteNewCode);
    flag(kOther, "ErasePadRandom", p.ErasePadRandom, fallback.ErasePadRandom);
    // Stored in one byte: only the low 8 bits of the integer survive (300 becomes 44).
    p.ErasePadChar =
        static_cast<std::uint8_t>(static_cast<std::uint32_t>(GetIniInt(
                                      lines, kOther, "ErasePadChar", fallback.ErasePadChar)) &
                                  0xFFu);
    flag(kOther, "Timer", p.Timer, fallback.Timer);
    flag(kOther, "BackupBeforeFlash", p.BackupBeforeFlash, fallback.BackupBeforeFlash);

    p.AvailableModelNames = GetIniSection(lines, "AvailableModelNames");
    p.Title = GetIniSection(lines, "Title");
    p.FlashHelp = GetIniSection(lines, "Flash Help");
    p.UpdaterHelp = GetIniSection(lines, "Updater Help");
    return p;
}

void ReadParameters(SParameter& p, std::span<const std::uint8_t> parameterBuffer) {
    if (parameterBuffer.empty() || parameterBuffer[0] == 0) {
        p = ParametersFromLines(DefaultParameterLines());
        return;
    }
    // A text that fills the whole area has no terminating zero: it ends at the capacity.
    const auto end = std::find(parameterBuffer.begin(), parameterBuffer.end(), std::uint8_t{0});
    const auto length = static_cast<std::size_t>(end - parameterBuffer.begin());
    p = ParametersFromLines(
        SplitLines(reinterpret_cast<const char*>(parameterBuffer.data()), length));
}

}  // namespace kfs
