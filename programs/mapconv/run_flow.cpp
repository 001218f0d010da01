#include "programs/mapconv/run_flow.h"

#include <mapconv/conversion.h>
#include <mapconv/data_file_writer.h>
#include <mapconv/errors.h>
#include <mapconv/output_file.h>
#include <mapconv/path.h>
#include <mapconv/terminal_text.h>
#include <mapconv/xdt_reader.h>
#include <pthread.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <mutex>

#include "hooked_block.h"

namespace {

struct Arguments {
  const char* input = nullptr;
  const char* output = nullptr;
  bool force = false;
};

void print_usage() {
  std::fprintf(stderr, "\nUsage:  mapconv [options] input output\n");
  std::fprintf(stderr, "\tinput  = existing XDT data file\n");
  std::fprintf(stderr, "\toutput = Ondrel binary data file to create\n");
  std::fprintf(stderr, "\n\tOptions:\n");
  std::fprintf(stderr, "\t\t-f\twrites output even if file already exists\n");
}

// Only an option's second character counts: -f, -fx and -fast all set force.
// False at the first argument that breaks the grammar.
bool parse_arguments(int argc, char** argv, Arguments* arguments) {
  if (argc < 3) return false;
  for (int i = 1; i < argc; ++i) {
    const char* argument = argv[i];
    if (argument[0] == '-') {
      if (argument[1] != 'f') return false;
      arguments->force = true;
    } else if (arguments->input == nullptr) {
      arguments->input = argument;
    } else if (arguments->output == nullptr) {
      arguments->output = argument;
    } else {
      return false;
    }
  }
  return arguments->input != nullptr && arguments->output != nullptr;
}

void print_failure_start(const Arguments& arguments) {
  u_print_names(stderr, "Unable to convert \"%s\" to \"%s\" because...\n", arguments.input, arguments.output);
}

int report_existing_output(const Arguments& arguments) {
  print_failure_start(arguments);
  u_print_names(stderr, "\t\"%s\" already exists\n", arguments.output);
  return EXIT_OUTPUT_EXISTS;
}

void print_error_name(ErrorCode code) { std::fprintf(stderr, "\t%s\n", error_names[code]); }

// The report of a failed read ("reading") or write ("writing to").
void report_file_failure(const Arguments& arguments, const char* action, const char* path, ErrorCode code) {
  print_failure_start(arguments);
  u_print_names(stderr, "\tthere was an error %s the file \"%s\"\n", action, path);
  print_error_name(code);
}

// Points converted per piece: the run's memory does not grow with the grid.
constexpr std::size_t PIECE_POINTS = 65536;

// The pieces of one conversion, released on every path.
struct RunState {
  XdtStream reader;
  DataFileStream output;
  // One block for a piece of heights and the phase counts made of them.
  HookedBlock<unsigned char[]> piece;

  RunState() {
    xdt_stream_clear(&reader);
    data_file_stream_clear(&output);
  }
  ~RunState() {
    xdt_stream_close(&reader);
    // Whatever was written and not committed goes: the old output stays.
    data_file_stream_discard(&output);
  }
  RunState(const RunState&) = delete;
  RunState& operator=(const RunState&) = delete;
};

// Reads the pieces of a grid on a second thread, one piece ahead of the
// caller, who meanwhile converts and writes the piece before: reading then
// overlaps converting and writing. Where no thread can be started the caller
// reads each piece itself; the pieces, and every message, are the same.
class PieceReader {
 public:
  PieceReader(XdtStream* reader, float* first, float* second, std::size_t capacity)
      : reader_(reader), capacity_(capacity), slots_{Slot{first}, Slot{second}} {}
  ~PieceReader() { stop(); }
  PieceReader(const PieceReader&) = delete;
  PieceReader& operator=(const PieceReader&) = delete;

  void start() { started_ = pthread_create(&thread_, nullptr, &PieceReader::run, this) == 0; }

  // The next piece: 0 with *count 0 at the end of the grid, or a read
  // failure's code. The piece stays valid until the next call.
  ErrorCode next(const float** heights, std::size_t* count) {
    const std::size_t taken = taken_++;
    Slot& slot = slots_[taken % 2];
    *heights = slot.heights;
    if (!started_) return xdt_stream_read(reader_, slot.heights, capacity_, count);
    std::unique_lock lock(mutex_);
    // The piece handed out before is done with: its slot may be refilled.
    if (taken > 0) slots_[(taken - 1) % 2].full = false;
    changed_.notify_all();
    changed_.wait(lock, [&] { return slot.full; });
    *count = slot.count;
    return slot.code;
  }

  // Ends the second thread; the stream is the caller's again afterwards.
  void stop() {
    if (!started_) return;
    {
      const std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    changed_.notify_all();
    pthread_join(thread_, nullptr);
    started_ = false;
  }

 private:
  struct Slot {
    float* heights;
    std::size_t count = 0;
    ErrorCode code = NO_ERROR;
    bool full = false;
  };

  static void* run(void* self) {
    static_cast<PieceReader*>(self)->fill();
    return nullptr;
  }

  void fill() {
    for (std::size_t filled = 0;; ++filled) {
      Slot& slot = slots_[filled % 2];
      {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return !slot.full || stopping_; });
        if (stopping_) return;
      }
      std::size_t count = 0;
      const ErrorCode code = xdt_stream_read(reader_, slot.heights, capacity_, &count);
      {
        const std::lock_guard lock(mutex_);
        slot.count = count;
        slot.code = code;
        slot.full = true;
      }
      changed_.notify_all();
      if (code != NO_ERROR || count == 0) return;
    }
  }

  XdtStream* reader_;
  std::size_t capacity_;
  Slot slots_[2];
  std::size_t taken_ = 0;
  std::mutex mutex_;
  std::condition_variable changed_;
  pthread_t thread_{};
  bool started_ = false;
  bool stopping_ = false;
};

// Reads every point of the input once more, for an output that must get its
// header first: its lateral resolution is known only at the end. A bad
// input is thus found before anything is written.
ErrorCode read_resolution(const char* input, float* heights, std::size_t capacity, float* resolution) {
  XdtStream reader;
  xdt_stream_clear(&reader);
  ErrorCode code = xdt_stream_open(input, false, &reader);
  for (std::size_t count = 1; code == NO_ERROR && count != 0;) {
    code = xdt_stream_read(&reader, heights, capacity, &count);
  }
  if (code == NO_ERROR) code = xdt_stream_finish(&reader, resolution);
  xdt_stream_close(&reader);
  return code;
}

// Reads, converts and writes in pieces; returns the exit status and prints
// every report after the "Converting" line. The messages and their order are
// those of reading the whole grid first: a read failure wins over a write
// failure, so once writing has failed the input is still read to its end.
int convert(const Arguments& arguments, std::size_t piece_points) {
  RunState state;
  ErrorCode code = xdt_stream_open(arguments.input, false, &state.reader);
  if (code != NO_ERROR) {
    report_file_failure(arguments, "reading", arguments.input, code);
    return EXIT_READ_FAILED;
  }
  const std::int32_t columns = state.reader.columns;
  const std::int32_t rows = state.reader.rows;
  const auto piece = static_cast<std::size_t>(std::min<std::uint64_t>(state.reader.points, piece_points));
  static_assert(sizeof(float) == sizeof(std::int32_t) && alignof(float) == alignof(std::int32_t));
  state.piece = hooked_allocate<unsigned char>(piece * (2 * sizeof(float) + sizeof(std::int32_t)));
  if (state.piece == nullptr) {
    print_failure_start(arguments);
    print_error_name(ERR_NO_MEM);
    return EXIT_OTHER_FAILURE;
  }
  // Storage from the allocator takes any trivial type: two pieces of heights
  // (one being read while the other is converted), then the counts.
  auto* const heights = reinterpret_cast<float*>(state.piece.get());
  auto* const phases = reinterpret_cast<std::int32_t*>(state.piece.get() + 2 * piece * sizeof(float));

  PhaseMap geometry;
  phase_map_clear(&geometry);
  geometry.width = static_cast<std::int16_t>(columns);
  geometry.height = static_cast<std::int16_t>(rows);
  DataFileHeader header;
  build_header(columns, rows, 0.0f, &header);
  ErrorCode write_code =
      data_file_stream_begin(arguments.output, arguments.force ? OUTPUT_REPLACE : 0u,
                             choose_header_format(&header), nullptr, &geometry, &state.output);
  bool name_taken = state.output.name_taken;
  if (write_code == ERR_NO_MEM) {
    report_file_failure(arguments, "writing to", arguments.output, write_code);
    return EXIT_WRITE_FAILED;
  }
  // An output written in place gets its header first, after a pass over the
  // whole input: a device that cannot seek needs the header before the
  // blocks, and an old file rewritten in place (a folder that takes no new
  // file) must not be touched by an input that turns out bad.
  if (write_code == NO_ERROR && state.output.output.in_place) {
    float resolution = 0.0f;
    code = read_resolution(arguments.input, heights, piece, &resolution);
    if (code != NO_ERROR) {
      report_file_failure(arguments, "reading", arguments.input, code);
      return EXIT_READ_FAILED;
    }
    header.lateral_resolution = resolution;
    write_code = data_file_stream_write_header(&state.output, nullptr, &header);
  }

  const double counts_per_metre = phase_counts_per_metre(&header);
  std::size_t unrepresentable = 0;
  PieceReader pieces(&state.reader, heights, heights + piece, piece);
  // A grid of one piece has nothing to overlap.
  if (state.reader.points > piece) pieces.start();
  for (;;) {
    const float* piece_heights = nullptr;
    std::size_t count = 0;
    code = pieces.next(&piece_heights, &count);
    if (code != NO_ERROR || count == 0) break;
    unrepresentable +=
        convert_heights(std::span(piece_heights, count), counts_per_metre, std::span(phases, count));
    if (write_code == NO_ERROR) write_code = data_file_stream_write_phase(&state.output, phases, count);
  }
  pieces.stop();
  float resolution = 0.0f;
  if (code == NO_ERROR) code = xdt_stream_finish(&state.reader, &resolution);
  if (code != NO_ERROR) {
    report_file_failure(arguments, "reading", arguments.input, code);
    return EXIT_READ_FAILED;
  }
  if (unrepresentable > 0) {
    // At most 32767 * 32767 heights, which fits an int.
    std::fprintf(stderr,
                 "Warning: %d heights could not be represented as phase counts and were written as no data\n",
                 static_cast<int>(unrepresentable));
  }

  if (write_code == NO_ERROR && !state.output.output.in_place) {
    header.lateral_resolution = resolution;
    write_code = data_file_stream_write_header(&state.output, nullptr, &header);
  }
  if (write_code == NO_ERROR) {
    write_code = data_file_stream_commit(&state.output);
    name_taken = state.output.name_taken;
  }
  if (write_code != NO_ERROR) {
    // Without -f a file that took the name while the input was read is kept,
    // and reported as if it had been there from the start.
    if (name_taken) return report_existing_output(arguments);
    report_file_failure(arguments, "writing to", arguments.output, write_code);
    return EXIT_WRITE_FAILED;
  }
  return EXIT_CONVERTED;
}

enum class PathKind { regular_file, other, unknown };

// What a path names. unknown: a wide path whose name could not be converted
// for lack of memory, so that nothing can be said about the file.
PathKind path_kind(const char* path) {
  struct stat status;
  if (u_stat_path(path, &status) != 0) {
    return errno == ENOMEM && u_path_is_wide(path) ? PathKind::unknown : PathKind::other;
  }
  return S_ISREG(status.st_mode) ? PathKind::regular_file : PathKind::other;
}

// A check that could not be made is no answer: an existing output taken for
// absent would be overwritten without -f.
int report_unknown_path(const Arguments& arguments) {
  print_failure_start(arguments);
  print_error_name(ERR_NO_MEM);
  return EXIT_OTHER_FAILURE;
}

// Whether two paths name one file (device and inode), through whatever
// names, links or symbolic links. unknown: a wide name could not be
// converted for lack of memory.
enum class Sameness { different, same, unknown };

Sameness same_file(const char* first, const char* second) {
  struct stat first_status;
  struct stat second_status;
  const bool first_known = u_stat_path(first, &first_status) == 0;
  const bool first_unknown = !first_known && errno == ENOMEM && u_path_is_wide(first);
  const bool second_known = u_stat_path(second, &second_status) == 0;
  const bool second_unknown = !second_known && errno == ENOMEM && u_path_is_wide(second);
  if (first_unknown || second_unknown) return Sameness::unknown;
  const bool same = first_known && second_known && first_status.st_dev == second_status.st_dev &&
                    first_status.st_ino == second_status.st_ino;
  return same ? Sameness::same : Sameness::different;
}

}  // namespace

bool file_exists(const char* path) { return path_kind(path) == PathKind::regular_file; }

int run_mapconv(int argc, char** argv) { return run_mapconv_in_pieces(argc, argv, PIECE_POINTS); }

int run_mapconv_in_pieces(int argc, char** argv, std::size_t piece_points) {
  Arguments arguments;
  if (!parse_arguments(argc, argv, &arguments)) {
    print_usage();
    return EXIT_USAGE;
  }
  const PathKind input = path_kind(arguments.input);
  if (input == PathKind::unknown) return report_unknown_path(arguments);
  if (input != PathKind::regular_file) {
    print_failure_start(arguments);
    u_print_names(stderr, "\t\"%s\" does not exist\n", arguments.input);
    return EXIT_INPUT_MISSING;
  }
  if (!arguments.force) {
    const PathKind output = path_kind(arguments.output);
    if (output == PathKind::unknown) return report_unknown_path(arguments);
    if (output == PathKind::regular_file) return report_existing_output(arguments);
  } else if (const Sameness same = same_file(arguments.input, arguments.output);
             same != Sameness::different) {
    if (same == Sameness::unknown) return report_unknown_path(arguments);
    // Replacing it would lose the measurement the output is made from.
    print_failure_start(arguments);
    u_print_names(stderr, "\t\"%s\" is the input file\n", arguments.output);
    return EXIT_OUTPUT_EXISTS;
  }
  u_print_names(stderr, "Converting \"%s\" to \"%s\"\n", arguments.input, arguments.output);
  const int status = convert(arguments, piece_points == 0 ? 1 : piece_points);
  if (status == EXIT_CONVERTED) {
    u_print_names(stderr, "Conversion from \"%s\" to \"%s\" successful\n", arguments.input, arguments.output);
  }
  return status;
}
