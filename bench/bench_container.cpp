// Container decoding and check sums on a 2 MB image, against a plain memory copy of that size.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "bench/bench_support.h"
#include "container/checksum.h"
#include "container/kfs_decode.h"
#include "container/kfs_encode.h"

namespace {

using kfs::bench::kImageLength;
using kfs::bench::SampleImage;

kfs::SKFSParameter SampleParameter() {
    kfs::SKFSParameter p;
    p.AtapiFlashType = 6;
    p.ReservedBlocks = {{0x1F800, 0x400}, {0x180000, 0x100}};
    p.KernelBlock = {0x1000, 0x8000};
    return p;
}

void BM_Memcpy2MB(benchmark::State& state) {
    const std::vector<std::uint8_t> src = SampleImage();
    std::vector<std::uint8_t> dst(kImageLength);
    for (auto _ : state) {
        std::memcpy(dst.data(), src.data(), kImageLength);
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kImageLength));
}
BENCHMARK(BM_Memcpy2MB);

void BM_LoadKFS3Scrambled2MB(benchmark::State& state) {
    kfs::KfsEncodeOptions o;
    o.form = kfs::KfsForm::kKfs3;
    o.scrambleMode = 2;
    o.seed = {1, 7, 3, 5};
    o.ideFlashType = 4;
    o.atapiFlashType = 6;
    o.maxBankSize = kImageLength;
    o.reservedBlocks = {{0x1F800, 0x400}, {0x180000, 0x100}};
    const std::vector<std::uint8_t> container = kfs::EncodeKfs(SampleImage(), o);
    std::vector<std::uint8_t> image(kImageLength);
    for (auto _ : state) {
        kfs::SKFSParameter p;
        if (!kfs::LoadKFS(container, p, image))
            state.SkipWithError("LoadKFS refused");
        benchmark::DoNotOptimize(image.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kImageLength));
}
BENCHMARK(BM_LoadKFS3Scrambled2MB);

void BM_CalcCheckSum2MB(benchmark::State& state) {
    const std::vector<std::uint8_t> image = SampleImage();
    const kfs::SKFSParameter p = SampleParameter();
    for (auto _ : state) benchmark::DoNotOptimize(kfs::CalcCheckSum(image, p));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kImageLength));
}
BENCHMARK(BM_CalcCheckSum2MB);

void BM_CalcFixDataCheckSum2MB(benchmark::State& state) {
    const std::vector<std::uint8_t> image = SampleImage();
    const kfs::SKFSParameter p = SampleParameter();
    for (auto _ : state) benchmark::DoNotOptimize(kfs::CalcFixDataCheckSum(image, p));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kImageLength));
}
BENCHMARK(BM_CalcFixDataCheckSum2MB);

}  // namespace
