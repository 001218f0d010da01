// Micro-benchmarks of the hot loops: reading point records, byte reversal of
// the phase block on its way to the file. Run with --benchmark_filter=...;
// bench/run measures the whole program against the I/O floor.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <vector>

#include "common/memory_hooks.h"
#include "datafile/data_file_writer.h"
#include "test_support.h"
#include "tool/xdt_reader.h"

namespace {

void read_points(benchmark::State& state) {
  const int side = static_cast<int>(state.range(0));
  const test::TempDir dir;
  const std::string path = dir.file("grid.xdt");
  const auto points =
      test::grid(side, side, 1e-6f, [](int r, int k) { return (r % 7 == 0) ? -1.0f : 1e-7f * k; });
  test::write_file(
      path, test::xdt_bytes(static_cast<std::uint16_t>(side), static_cast<std::uint16_t>(side), points));
  for (auto _ : state) {
    std::int32_t columns = 0, rows = 0;
    float* heights = nullptr;
    float resolution = 0;
    if (read_xdt_file(path.c_str(), &columns, &rows, &heights, &resolution, false) != NO_ERROR) {
      state.SkipWithError("read failed");
      break;
    }
    benchmark::DoNotOptimize(heights);
    memory_hooks.release(heights);
  }
  state.SetItemsProcessed(state.iterations() * side * side);
  state.SetBytesProcessed(state.iterations() * side * side * 12);
}
BENCHMARK(read_points)->Arg(1024)->Arg(2048)->Unit(benchmark::kMillisecond);

void write_phase_block(benchmark::State& state) {
  const int side = static_cast<int>(state.range(0));
  const std::size_t count = static_cast<std::size_t>(side) * static_cast<std::size_t>(side);
  std::vector<std::int32_t> counts(count);
  for (std::size_t i = 0; i < count; ++i) counts[i] = static_cast<std::int32_t>(i * 2654435761u);
  const PhaseMap map{static_cast<std::uint32_t>(count),
                     0,
                     0,
                     static_cast<std::int16_t>(side),
                     static_cast<std::int16_t>(side),
                     counts.data()};
  std::FILE* sink = std::fopen("/dev/null", "wb");
  for (auto _ : state) {
    if (write_data_stream(sink, nullptr, nullptr, nullptr, &map) != NO_ERROR) {
      state.SkipWithError("write failed");
      break;
    }
  }
  std::fclose(sink);
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(count));
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(count) * 4);
}
BENCHMARK(write_phase_block)->Arg(1024)->Arg(4096)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
