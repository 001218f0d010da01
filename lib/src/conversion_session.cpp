// Conversion sessions: heights, read from an XDT file or handed in by the
// caller, converted a piece at a time and written through the safe output.
#include <mapconv/conversion.h>
#include <mapconv/data_file_writer.h>
#include <mapconv/memory_hooks.h>
#include <mapconv/output_file.h>
#include <mapconv/xdt_reader.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <new>
#include <optional>

#include "conversion_internal.h"
#include "data_file_stream_internal.h"
#include "hooked_block.h"
#include "piece_reader.h"
#include "retrying_io.h"
#include "xdt_stream_internal.h"

// One data file being written from heights: the output, its header and the
// counts of the piece at hand.
struct ConversionState {
  DataFileStream output;
  DataFileHeader header;
  double counts_per_metre;
  std::uint32_t* phases;  // piece counts, in the file's byte order
  std::size_t piece;
  std::uint64_t remaining;  // heights the grid still takes (piece API)
  bool header_first;        // written in place: the header went out at the start
};

namespace {

// Clears *state and opens the output for a columns x rows grid; the header's
// lateral resolution is set later. phases and piece are the caller's.
ErrorCode state_begin(ConversionState* state, const char* output, unsigned flags, const struct stat* input,
                      std::int32_t columns, std::int32_t rows, bool* name_taken) {
  data_file_stream_clear(&state->output);
  build_header(columns, rows, 0.0f, &state->header);
  state->counts_per_metre = phase_counts_per_metre(&state->header);
  state->header_first = false;
  PhaseMap geometry;
  phase_map_clear(&geometry);
  geometry.width = static_cast<std::int16_t>(columns);
  geometry.height = static_cast<std::int16_t>(rows);
  const ErrorCode code = data_file_stream_begin_apart(
      output, flags, input, choose_header_format(&state->header), nullptr, &geometry, &state->output);
  *name_taken = state->output.name_taken;
  return code;
}

ErrorCode state_write_header(ConversionState* state, float lateral_resolution) {
  state->header.lateral_resolution = lateral_resolution;
  return data_file_stream_write_header(&state->output, nullptr, &state->header);
}

// Converts a piece's heights or records into its counts and writes them
// unless writing has failed before (*write_code); returns the heights whose
// count does not fit.
std::size_t state_convert(ConversionState* state, const Piece& piece, ErrorCode* write_code) {
  const std::size_t count = piece.count;
  const std::size_t unrepresentable =
      piece.records != nullptr
          ? convert_records_file_order(piece.records, count, state->counts_per_metre, state->phases)
          : convert_heights_file_order(piece.heights, count, state->counts_per_metre, state->phases);
  if (*write_code == NO_ERROR)
    *write_code = data_file_stream_write_phase_file_order(&state->output, state->phases, count);
  return unrepresentable;
}

ErrorCode state_commit(ConversionState* state, bool* name_taken) {
  const ErrorCode code = data_file_stream_commit(&state->output);
  *name_taken = state->output.name_taken;
  return code;
}

// Reads every point of the input once more, for an output that must get its
// header first: its lateral resolution is known only at the end.
ErrorCode read_resolution(const char* input, float* heights, std::size_t capacity,
                          const InterruptCheck* interrupt, float* resolution) {
  XdtStream reader;
  xdt_stream_clear(&reader);
  ErrorCode code = xdt_stream_open_watched(input, false, interrupt, &reader);
  for (std::size_t count = 1; code == NO_ERROR && count != 0;) {
    code = xdt_stream_read(&reader, heights, capacity, &count);
  }
  if (code == NO_ERROR) code = xdt_stream_finish(&reader, resolution);
  const int reason = errno;
  xdt_stream_close(&reader);
  errno = reason;
  return code;
}

// What one conversion from an XDT file holds, released on every path.
struct FileConversion {
  XdtStream reader;
  ConversionState state;
  // One block for the ring of pieces the reader's thread fills, then the
  // piece's counts.
  HookedBlock<unsigned char[]> piece_block;

  FileConversion() {
    xdt_stream_clear(&reader);
    data_file_stream_clear(&state.output);
  }
  ~FileConversion() {
    const int reason = errno;
    xdt_stream_close(&reader);
    // Whatever was written and not committed goes: the old output stays.
    data_file_stream_discard(&state.output);
    errno = reason;
  }
  FileConversion(const FileConversion&) = delete;
  FileConversion& operator=(const FileConversion&) = delete;
};

ErrorCode decided(const ConversionResult* result) {
  if (result->read_failure != NO_ERROR) return result->read_failure;
  if (result->setup_failure != NO_ERROR) return result->setup_failure;
  return result->write_failure;
}

// The steps of convert_xdt_file; the result's fields tell what failed.
void convert_file(const char* input, const char* output, const ConversionOptions* options,
                  ConversionResult* result) {
  FileConversion run;
  const InterruptCheck* const interrupt = options == nullptr ? nullptr : options->interrupt;
  result->read_failure = xdt_stream_open_watched(input, false, interrupt, &run.reader);
  if (result->read_failure != NO_ERROR) return;
  const std::size_t piece_points =
      options == nullptr || options->piece_points == 0 ? CONVERSION_PIECE_POINTS : options->piece_points;
  const auto piece = static_cast<std::size_t>(std::min<std::uint64_t>(run.reader.points, piece_points));
  static_assert(sizeof(float) == sizeof(std::uint32_t) && alignof(float) == alignof(std::uint32_t));
  // Pieces go as records only through a grid of 64 rings or more: on a
  // smaller one the faults that first fill the ring of records, three times
  // the size of a ring of heights, cost more than the records save.
  const bool by_records = run.reader.points / piece >= 64 * PIECE_READER_SLOTS;
  const std::size_t slot_bytes = piece * (by_records ? XDT_RECORD_SIZE : sizeof(float));
  // The ring of pieces, then the counts.
  run.piece_block = hooked_allocate<unsigned char>(PIECE_READER_SLOTS * slot_bytes + piece * sizeof(float));
  if (run.piece_block == nullptr) {
    result->setup_failure = ERR_NO_MEM;
    return;
  }
  // Storage from the allocator takes any trivial type; the ring's first
  // piece serves a second pass over the file as heights.
  unsigned char* const ring = run.piece_block.get();
  auto* const heights = reinterpret_cast<float*>(ring);
  run.state.phases = reinterpret_cast<std::uint32_t*>(ring + PIECE_READER_SLOTS * slot_bytes);
  run.state.piece = piece;

  ErrorCode& write_code = result->write_failure;
  // The file being read, which the output must not be.
  struct stat input_status {};
  const bool input_known = fstat(fileno(run.reader.file), &input_status) == 0;
  write_code = state_begin(&run.state, output, options == nullptr ? 0u : options->flags,
                           input_known ? &input_status : nullptr, run.reader.columns, run.reader.rows,
                           &result->name_taken);
  // Out of memory is no verdict on the output: nothing more is tried.
  if (write_code == ERR_NO_MEM) {
    result->name_taken = false;
    return;
  }
  // Nothing is wrong with the input, and there is nothing to write it to.
  if (run.state.output.is_input) {
    result->same_file = true;
    return;
  }
  if (write_code == NO_ERROR && run.state.output.output.in_place) {
    float resolution = 0.0f;
    result->read_failure = read_resolution(input, heights, piece, interrupt, &resolution);
    if (result->read_failure != NO_ERROR) return;
    run.state.header_first = true;
    write_code = state_write_header(&run.state, resolution);
    // The old file is being written over: stopping now would leave it cut
    // short, so the conversion is finished whatever the check says.
    run.reader.interrupt = nullptr;
  }

  ErrorCode& read_code = result->read_failure;
  // The second thread reads; this one converts, in the file's byte order,
  // and writes. Taking the heights out of the records goes to whichever
  // thread has time for it: this one while it keeps up with the reading,
  // the reader's while this one falls behind.
  std::optional<PieceReader> reading;
  if (by_records) {
    reading.emplace(&run.reader, ring, piece, PieceForm::EITHER);
  } else {
    reading.emplace(&run.reader, heights, piece);
  }
  PieceReader& pieces = *reading;
  // A grid of one piece has nothing to overlap.
  if (run.reader.points > piece) pieces.start();
  for (;;) {
    Piece taken;
    if (!run.state.header_first && stop_asked(interrupt)) {
      read_code = ERR_INTERRUPTED;
      break;
    }
    read_code = pieces.next(&taken);
    if (read_code != NO_ERROR || taken.count == 0) break;
    result->unrepresentable += state_convert(&run.state, taken, &write_code);
  }
  pieces.stop();
  float resolution = 0.0f;
  if (read_code == NO_ERROR) read_code = xdt_stream_finish(&run.reader, &resolution);
  if (read_code != NO_ERROR) return;
  if (write_code == NO_ERROR && !run.state.header_first)
    write_code = state_write_header(&run.state, resolution);
  if (write_code == NO_ERROR) write_code = state_commit(&run.state, &result->name_taken);
}

}  // namespace

ErrorCode convert_xdt_file(const char* input, const char* output, const ConversionOptions* options,
                           ConversionResult* result) {
  if (result == nullptr) return ERR_INVALID_PARAM;
  *result = ConversionResult{};
  if (input == nullptr || output == nullptr) {
    result->read_failure = ERR_INVALID_PARAM;
    return ERR_INVALID_PARAM;
  }
  convert_file(input, output, options, result);
  return decided(result);
}

ErrorCode conversion_session_open(const char* output, unsigned flags, std::int32_t columns, std::int32_t rows,
                                  float lateral_resolution, ConversionSession* session) {
  if (session == nullptr) return ERR_INVALID_PARAM;
  *session = ConversionSession{};
  if (output == nullptr || columns < 1 || columns > 32767 || rows < 1 || rows > 32767)
    return ERR_INVALID_PARAM;
  const std::size_t points = static_cast<std::size_t>(columns) * static_cast<std::size_t>(rows);
  const std::size_t piece = std::min(points, CONVERSION_PIECE_POINTS);
  // The state and the piece's counts in one block; the size of the state
  // keeps the counts aligned.
  static_assert(sizeof(ConversionState) % alignof(std::int32_t) == 0);
  void* block = memory_hooks.allocate(sizeof(ConversionState) + piece * sizeof(std::int32_t));
  if (block == nullptr) return ERR_NO_MEM;
  auto* const state = new (block) ConversionState{};
  state->phases =
      reinterpret_cast<std::uint32_t*>(static_cast<unsigned char*>(block) + sizeof(ConversionState));
  state->piece = piece;
  state->remaining = points;
  ErrorCode code = state_begin(state, output, flags, nullptr, columns, rows, &session->name_taken);
  // The header is known: an output written in place takes it first, any
  // other last, as convert_xdt_file does.
  session->in_place = state->output.output.in_place;
  if (code == NO_ERROR && state->output.output.in_place) {
    state->header_first = true;
    code = state_write_header(state, lateral_resolution);
  }
  state->header.lateral_resolution = lateral_resolution;
  if (code != NO_ERROR) {
    const int reason = errno;
    data_file_stream_discard(&state->output);
    memory_hooks.release(block);
    errno = reason;
    return code;
  }
  session->state = state;
  return NO_ERROR;
}

ErrorCode conversion_session_write(ConversionSession* session, const float* heights, std::size_t count) {
  if (session == nullptr || session->state == nullptr || (heights == nullptr && count != 0))
    return ERR_INVALID_PARAM;
  ConversionState* const state = session->state;
  // Heights the grid has no room for are refused before any is counted.
  if (count > state->remaining) return ERR_INVALID_PARAM;
  state->remaining -= count;
  ErrorCode code = NO_ERROR;
  for (std::size_t start = 0; code == NO_ERROR && start < count; start += state->piece) {
    const std::size_t length = std::min(state->piece, count - start);
    session->unrepresentable += state_convert(state, Piece{heights + start, nullptr, length}, &code);
  }
  return code;
}

ErrorCode conversion_session_commit(ConversionSession* session) {
  if (session == nullptr || session->state == nullptr) return ERR_INVALID_PARAM;
  ConversionState* const state = session->state;
  ErrorCode code = NO_ERROR;
  if (!state->header_first) code = state_write_header(state, state->header.lateral_resolution);
  // A commit with a failed write discards the file and returns the failure.
  const ErrorCode committed = state_commit(state, &session->name_taken);
  if (code == NO_ERROR) code = committed;
  const int reason = errno;
  memory_hooks.release(state);
  session->state = nullptr;
  errno = reason;
  return code;
}

void conversion_session_discard(ConversionSession* session) {
  if (session == nullptr || session->state == nullptr) return;
  const int reason = errno;
  data_file_stream_discard(&session->state->output);
  memory_hooks.release(session->state);
  session->state = nullptr;
  errno = reason;
}
