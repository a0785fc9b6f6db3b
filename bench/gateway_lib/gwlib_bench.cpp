// Cost of the two platform calls the daemon makes most per frame: publishing a channel and
// reading an alarm flag. Uses the router paths, so run it in a router sandbox:
//   VORN_BUILD_DIR=$PWD/build-gwlib tools/router-sandbox -- build-gwlib/bench/gateway_lib/gwlib_bench
#include <benchmark/benchmark.h>
#include <gateway_lib/gateway_lib.h>

#include <cstring>
#include <vector>

namespace {

constexpr const char *kSensor = "00124B0001020304";

void ChannelWrite(benchmark::State &state) {
    // Eight channel descriptions, as an identification request publishes them.
    std::vector<channel_entry> meta(8);
    for (std::size_t i = 0; i < meta.size(); ++i) meta[i].name[0] = static_cast<char>('A' + i);
    const int size = static_cast<int>(meta.size() * sizeof(channel_entry));
    for (auto _ : state) {
        if (share_memory_write_noneblock("00124B0001020304_meta", meta.data(), size, 10) != 0) {
            state.SkipWithError("write failed");
            break;
        }
    }
}

void AlarmFlagRead(benchmark::State &state) {
    channel_entry entry{};
    std::strcpy(entry.name, "Temperature");
    entry.type = 1;
    if (set_error_flag(kSensor, &entry, 1) != 0) {
        state.SkipWithError("cannot store the flag");
        return;
    }
    for (auto _ : state) {
        const int flag = get_error_flag(kSensor, &entry);
        benchmark::DoNotOptimize(flag);
        if (flag != 1) {
            state.SkipWithError("flag lost");
            break;
        }
    }
}

BENCHMARK(ChannelWrite)->Unit(benchmark::kMicrosecond)->Repetitions(9)->ReportAggregatesOnly(true);
BENCHMARK(AlarmFlagRead)->Unit(benchmark::kMicrosecond)->Repetitions(9)->ReportAggregatesOnly(true);

}  // namespace

BENCHMARK_MAIN();
