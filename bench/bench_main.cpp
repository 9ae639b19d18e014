// The benchmark program: the benchmarks of this folder, then their times as ratios to a memory
// copy of the same 2 MB measured in the same run, each against its goal. A ratio rather than a
// time, since the machines it runs on differ and are shared: a busy spell slows the copy alike.
//
// Unless told otherwise it repeats every benchmark 15 times in shuffled order and takes the median
// of each, on processor time (a benchmark that waits for the processor is not charged for it).
// Any --benchmark_... flag given on the command line replaces the default of that flag.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

constexpr char kReference[] = "BM_Memcpy2MB";

struct Goal {
    const char* benchmark;
    const char* what;
    double atMost;
};

const Goal kGoals[] = {
    {"BM_LoadKFS3Scrambled2MB", "decode of the scrambled 2 MB KFS3", 1.1},
    {"BM_CalcCheckSum2MB", "CalcCheckSum of 2 MB", 0.5},
    {"BM_CalcFixDataCheckSum2MB", "CalcFixDataCheckSum of 2 MB", 0.5},
    {"BM_VerifyCompare2MB", "read-back comparison of 2 MB with progress", 1.0},
};

// The console table as usual; besides, the processor time per iteration of each benchmark, in
// seconds: the median when the benchmark was repeated, else its one run.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.error_occurred)
                continue;
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if (run.run_type == Run::RT_Aggregate && !median)
                continue;
            const std::string& name = run.run_name.function_name;
            if (!median && medians_.count(name))
                continue;
            seconds_[name] =
                run.GetAdjustedCPUTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
            if (median)
                medians_[name] = true;
        }
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        const auto reference = seconds_.find(kReference);
        if (reference == seconds_.end() || reference->second <= 0)
            return;
        double load[3] = {};
        const bool haveLoad = getloadavg(load, 3) == 3;
        std::printf("\nRatios to memcpy of 2 MB (%s, processor time)", kReference);
        if (haveLoad)
            std::printf(", load average %.2f %.2f %.2f", load[0], load[1], load[2]);
        std::printf(":\n");
        for (const Goal& goal : kGoals) {
            const auto it = seconds_.find(goal.benchmark);
            if (it == seconds_.end())
                continue;
            const double ratio = it->second / reference->second;
            std::printf("ratio %-44s %5.2fx  goal <= %.1fx  %s\n", goal.what, ratio, goal.atMost,
                        ratio <= goal.atMost ? "met" : "NOT MET");
        }
        std::fflush(stdout);
    }

  private:
    std::map<std::string, double> seconds_;
    std::map<std::string, bool> medians_;
};

bool Given(int argc, char** argv, const char* flag) {
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], flag, std::strlen(flag)) == 0)
            return true;
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    // Many short repetitions in shuffled order: a busy spell of the machine then falls on a few
    // repetitions of every benchmark rather than on all of one, and the median leaves it out.
    static std::string defaults[] = {
        "--benchmark_repetitions=15",
        "--benchmark_min_time=0.2",
        "--benchmark_enable_random_interleaving=true",
        "--benchmark_display_aggregates_only=true",
    };
    std::vector<char*> args(argv, argv + argc);
    for (std::string& flag : defaults) {
        if (!Given(argc, argv, flag.substr(0, flag.find('=')).c_str()))
            args.push_back(flag.data());
    }
    int count = static_cast<int>(args.size());
    args.push_back(nullptr);
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data()))
        return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
