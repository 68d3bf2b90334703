// The per-request work of linkstatd (read the station table, parse, fill the record) beside
// the bare read of the same file. Runs inside a simulated device, so both read the real
// path; prints how many times the bare read the request work takes.
#include "platform.h"
#include "sta_info.h"
#include "station_table.h"

#include <benchmark/benchmark.h>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

namespace {

void bare_read(benchmark::State &state) {
    static char buffer[table_size];
    while (state.KeepRunning()) {
        FILE *f = fopen(sta_info_path, "r");
        size_t n = fread(buffer, 1, sizeof buffer, f);
        fclose(f);
        benchmark::DoNotOptimize(n);
    }
}
BENCHMARK(bare_read);

void request_work(benchmark::State &state) {
    while (state.KeepRunning()) {
        wlan0_stats_record record{};
        record.length = record_size;
        int result = get_wlan0_stats(&record);
        benchmark::DoNotOptimize(result);
        benchmark::DoNotOptimize(record);
    }
}
BENCHMARK(request_work);

// Keeps each benchmark's time per iteration while printing as usual.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    RatioReporter() : ConsoleReporter(OO_Tabular) {}
    void ReportRuns(const std::vector<Run> &runs) override {
        // With repetitions, the median of them stands for the benchmark.
        for (const Run &r : runs)
            if (r.run_type == Run::RT_Iteration || r.aggregate_name == "median")
                ns[r.run_name.function_name] = r.GetAdjustedRealTime();
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> ns;
};

} // namespace

int main(int argc, char **argv) {
    const char *device = getenv("SIM_DEVICE");
    if (!device) {
        fprintf(stderr, "sta_info_bench: run it inside a simulated device (sim/device)\n");
        return 1;
    }
    std::string dir = std::string(device) + "/proc/wlan0";
    std::string mk = "mkdir -p '" + dir + "'";
    FILE *f = system(mk.c_str()) == 0 ? fopen((dir + "/sta_info").c_str(), "w") : nullptr;
    if (!f || fputs(one_station, f) < 0 || fclose(f) != 0) {
        fprintf(stderr, "sta_info_bench: cannot write the station table under %s\n", device);
        return 1;
    }
    if (!fill_target_names())
        return 1;
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    double bare = reporter.ns["bare_read"], work = reporter.ns["request_work"];
    if (bare <= 0 || work <= 0)
        return 1;
    printf("per-request work / bare read: %.2f (target at most 1.50)\n", work / bare);
    return 0;
}
