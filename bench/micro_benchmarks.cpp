// Micro-benchmarks of the hot loops: reading point records, the
// height-to-phase conversion, byte reversal of the phase block on its way to
// the file. Run with --benchmark_filter=...;
// bench/run measures the whole program against the I/O floor.
#include <benchmark/benchmark.h>
#include <mapconv/conversion.h>
#include <mapconv/data_file_writer.h>
#include <mapconv/memory_hooks.h>
#include <mapconv/xdt_reader.h>

#include <algorithm>
#include <cstdio>
#include <span>
#include <vector>

#include "test_support.h"

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

// Heights like a measured surface: small values of both signs, a few points
// without data.
std::vector<float> surface_heights(std::size_t count) {
  std::vector<float> heights(count);
  for (std::size_t i = 0; i < count; ++i) {
    heights[i] = (i % 53 == 0) ? -1.0f : 1e-7f * static_cast<float>(static_cast<int>(i % 2001) - 1000);
  }
  return heights;
}

// The conversion pass alone, on a map that is already in memory.
void convert_to_phase(benchmark::State& state) {
  const int side = static_cast<int>(state.range(0));
  const std::size_t count = static_cast<std::size_t>(side) * static_cast<std::size_t>(side);
  const std::vector<float> heights = surface_heights(count);
  DataFileHeader header;
  build_header(side, side, 1e-5f, &header);
  const double factor = phase_counts_per_metre(&header);
  PhaseMap map;
  phase_map_clear(&map);
  map.width = static_cast<std::int16_t>(side);
  map.height = static_cast<std::int16_t>(side);
  if (phase_map_create(&map) != NO_ERROR) {
    state.SkipWithError("no memory");
    return;
  }
  std::fill_n(map.data, count, 0);  // the first touch is not what is measured
  for (auto _ : state) {
    benchmark::DoNotOptimize(convert_heights(heights, factor, std::span(map.data, count)));
    benchmark::ClobberMemory();
  }
  phase_map_release(&map);
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(count));
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(count) * 8);
}
BENCHMARK(convert_to_phase)->Arg(1024)->Arg(4096)->Unit(benchmark::kMillisecond);

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
