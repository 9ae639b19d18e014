// The flash engines on 2 MB: the comparison step of read-back verification, and a whole two-pass
// update against the emulated drive on its virtual clock.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "bench/bench_support.h"
#include "emulator/adapters/emulated_transport.h"
#include "emulator/adapters/emulator_clock.h"
#include "emulator/emulator.h"
#include "flash/family_mtk5.h"
#include "flash/verify.h"

namespace {

using kfs::bench::kImageLength;
using kfs::bench::SampleImage;

// A window that does nothing but count what it is asked to do.
class CountingView : public kfs::FlashView {
  public:
    void AddLine(const std::string&) override { ++lines; }
    void ClearLines() override {}
    void ClearSelection() override {}
    void SetProgress(std::uint32_t position) override { last = position; }
    void ProcessMessages() override { ++dispatches; }
    void ShowError(const std::string&, const std::string&) override { ++boxes; }
    void ShowInformation(const std::string&, const std::string&) override {}
    bool AskOkCancel(const std::string&, const std::string&) override { return true; }

    std::uint32_t last = 0;
    long lines = 0, dispatches = 0, boxes = 0;
};

void BM_VerifyCompare2MB(benchmark::State& state) {
    const std::vector<std::uint8_t> image = SampleImage();
    const std::vector<std::uint8_t> readBack = image;
    CountingView view;
    for (auto _ : state) {
        std::ptrdiff_t at = kfs::CompareReadBack(view, image, readBack.data());
        benchmark::DoNotOptimize(at);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kImageLength));
}
BENCHMARK(BM_VerifyCompare2MB);

// The fewest commands a 2 MB two-pass update with read-back verification can take: per pass
// download mode on, 64 blocks, download mode off, the trigger and one sense request; one ready
// test after the upper pass, the acknowledgement and one ready test after the lower one; the
// version read, the ready test and the feature query after flashing; the feature query and 512
// reads of 4 KB of the verification.
constexpr int kLeastCommands = 2 * (1 + 64 + 1 + 1 + 1) + 1 + 2 + 3 + 1 + 512;

void BM_EmulatedUpdateMtk5_2MB(benchmark::State& state) {
    std::vector<std::uint8_t> image = SampleImage();
    kfs::SKFSParameter container;
    container.AtapiFlashType = 6;
    const std::uint16_t expected = kfs::ExpectedCheckSum(image, container, false);
    long commands = 0;
    std::uint64_t virtualMs = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto drives = kfs::emu::DriveSet::FromJson(
            R"({"drives":[{"product":"VRZ-3372BL","family":"mtk5"}]})");
        commands = 0;
        drives.SetTrace([&commands](const std::string&) { ++commands; });
        kfs::EmulatedTransport transport(drives);
        kfs::EmulatorClock clock(drives);
        CountingView view;
        kfs::FlashJob job{transport, clock, view, 0, image, container};
        state.ResumeTiming();

        if (kfs::FlashMtk5Type(job) || !kfs::VerifyFlash(job, expected, false))
            state.SkipWithError("update failed");
        virtualMs = drives.Now();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kImageLength));
    state.counters["commands"] = static_cast<double>(commands);
    state.counters["least_commands"] = kLeastCommands;
    state.counters["virtual_s"] = static_cast<double>(virtualMs) / 1000.0;
}
BENCHMARK(BM_EmulatedUpdateMtk5_2MB)->Unit(benchmark::kMillisecond);

}  // namespace
