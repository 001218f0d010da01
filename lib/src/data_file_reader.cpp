#include <mapconv/byte_order.h>
#include <mapconv/data_file_reader.h>
#include <mapconv/file_kind.h>
#include <mapconv/memory_hooks.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <span>

#include "byte_blocks.h"
#include "header_layout.h"
#include "hooked_block.h"
#include "native_path.h"
#include "quiet_thread.h"
#include "retrying_io.h"

namespace {

using HeaderImage = std::array<std::uint8_t, HEADER_IMAGE_SIZE>;

constexpr std::size_t MAGIC_SIZE = sizeof(HeaderLeadingFields::magic_number);

// Turns the header bytes of the file into a host-order image: the holes
// reopened, then every multi-byte field reversed, which undoes the writer's
// reversal and compaction exactly.
void expand_header(std::span<const std::uint8_t> file_bytes, HeaderImage* image) {
  expand_header_image(file_bytes.data(), file_bytes.size(), image->data());
  swap_header_image(image->data());
}

std::uint32_t big_endian_32(const std::uint8_t* bytes) {
  std::uint32_t value;
  std::memcpy(&value, bytes, sizeof value);
  u_swap_bytes(&value, sizeof value);
  return value;
}

const HeaderFormat* format_of_magic(std::uint32_t magic) {
  for (const HeaderFormat& format : header_formats) {
    if (format.magic_number == magic) return &format;
  }
  return nullptr;
}

// An open data file: whether its length is known up front (a regular file),
// then read at offsets from where the header ends, and, after a failed
// read, the system's reason.
struct Input {
  std::FILE* file;
  bool size_known;
  int reason = 0;
  std::uint64_t offset = 0;
  const InterruptCheck* interrupt = nullptr;  // asked between pieces and after interruptions
};

// Reads count bytes: ERR_PREMATURE_EOF when the stream ends first,
// ERR_CANT_READ_FILE when the system fails the read.
ErrorCode read_exact(Input* input, void* destination, std::size_t count) {
  if (input->interrupt != nullptr) {
    // A stream of the reader's own, unbuffered: its descriptor is watched.
    bool stopped = false;
    int failure = 0;
    if (read_descriptor(fileno(input->file), destination, count, input->interrupt, &failure, &stopped) ==
        count)
      return NO_ERROR;
    if (stopped) return ERR_INTERRUPTED;
    if (failure == 0) return ERR_PREMATURE_EOF;
    input->reason = failure;
    return ERR_CANT_READ_FILE;
  }
  if (read_retrying(input->file, destination, count) == count) return NO_ERROR;
  if (!std::ferror(input->file)) return ERR_PREMATURE_EOF;
  input->reason = errno;
  return ERR_CANT_READ_FILE;
}

// The block from big-endian to host order.
void reverse_values(std::uint16_t* values, std::size_t count) { reverse_each(values, count); }
void reverse_values(std::int32_t* values, std::size_t count) {
  reverse_each(reinterpret_cast<std::uint32_t*>(values), count);
}
void copy_values(const std::uint16_t* source, std::size_t count, std::uint16_t* destination) {
  copy_reversed(source, count, destination);
}
void copy_values(const std::int32_t* source, std::size_t count, std::int32_t* destination) {
  copy_reversed(reinterpret_cast<const std::uint32_t*>(source), count,
                reinterpret_cast<std::uint32_t*>(destination));
}

// Reads count bytes at offset: ERR_PREMATURE_EOF when the file ends first,
// ERR_CANT_READ_FILE (with *reason) when the system fails the read,
// ERR_INTERRUPTED when the check said stop after an interruption.
ErrorCode read_at(int descriptor, void* destination, std::size_t count, std::uint64_t offset, int* reason,
                  const InterruptCheck* interrupt = nullptr) {
  int failure = 0;
  bool stopped = false;
  const std::size_t got = read_descriptor_at(descriptor, destination, count, offset, interrupt, &failure, &stopped);
  if (stopped) return ERR_INTERRUPTED;
  if (failure != 0) {
    *reason = failure;
    return ERR_CANT_READ_FILE;
  }
  if (got < count) return ERR_PREMATURE_EOF;
  return NO_ERROR;
}

// Values per piece read at once.
template <typename T>
constexpr std::size_t PIECE = (std::size_t{1} << 17) / sizeof(T);

// Part of a block read from a file at its offset, on a thread of its own.
template <typename T>
struct BlockPart {
  int descriptor;
  std::uint64_t offset;  // of the part's first value in the file
  T* values;
  std::size_t count;
  T* staging;  // PIECE<T> values, the part's own, or null for one piece
  const InterruptCheck* interrupt;
  ErrorCode code = NO_ERROR;
  int reason = 0;
};

// Each piece is read into a buffer that stays in the processor's cache and
// reversed from there into the block, which is so written once. A block of
// one piece has no buffer: it is read in place and reversed there.
template <typename T>
void* read_part(void* untyped) {
  auto* part = static_cast<BlockPart<T>*>(untyped);
  prefault_block(part->values, part->count * sizeof(T));
  for (std::size_t done = 0; done < part->count;) {
    const std::size_t n = std::min(PIECE<T>, part->count - done);
    T* landing = part->staging != nullptr ? part->staging : part->values + done;
    if (stop_asked(part->interrupt)) {
      part->code = ERR_INTERRUPTED;
      break;
    }
    part->code = read_at(part->descriptor, landing, n * sizeof(T), part->offset + done * sizeof(T),
                         &part->reason, part->interrupt);
    if (part->code != NO_ERROR) break;
    if (part->staging != nullptr) {
      copy_values(part->staging, n, part->values + done);
    } else {
      reverse_values(part->values + done, n);
    }
    done += n;
  }
  return nullptr;
}

// Reads total big-endian values of T from a file whose length was checked
// into a block taken whole. A block of more than one piece is read in two
// halves side by side, the second on a thread of its own where one can be
// started.
template <typename T>
ErrorCode read_block_at(Input* input, std::size_t total, T** data) {
  auto block = hooked_allocate<T>(total);
  if (block == nullptr) return ERR_NO_MEM;
  // Huge pages: a map of hundreds of MiB is made resident several times
  // faster, which is most of reading it.
  advise_huge_pages(block.get(), total * sizeof(T));
  const bool halves = total > PIECE<T>;
  HookedBlock<T[]> staging;
  if (halves) {
    staging = hooked_allocate<T>(2 * PIECE<T>);
    if (staging == nullptr) return ERR_NO_MEM;
  }
  const BlockPart<T> whole{fileno(input->file), input->offset,   block.get(), total,
                           staging.get(),       input->interrupt};
  BlockPart<T> parts[2] = {whole, whole};
  if (halves) {
    parts[0].count = total / 2;
    parts[1].offset += parts[0].count * sizeof(T);
    parts[1].values += parts[0].count;
    parts[1].count -= parts[0].count;
    parts[1].staging += PIECE<T>;
  }
  pthread_t thread{};
  const bool started = halves && start_quiet_thread(&thread, &read_part<T>, &parts[1]);
  read_part<T>(&parts[0]);
  if (started) {
    pthread_join(thread, nullptr);
  } else if (halves) {
    read_part<T>(&parts[1]);
  }
  for (const BlockPart<T>& part : parts) {
    if (part.code == ERR_INTERRUPTED) return ERR_INTERRUPTED;
  }
  // A failure in the first half comes first, as it does in the file.
  for (const BlockPart<T>& part : parts) {
    if (part.code == NO_ERROR) continue;
    input->reason = part.reason;
    return part.code;
  }
  input->offset += total * sizeof(T);
  *data = block.release();
  return NO_ERROR;
}

// Reads count big-endian values of T into a new block. From a pipe or a
// device, whose length is not known, the block grows with the values that
// actually arrive, so a header claiming a huge block costs little.
template <typename T>
ErrorCode read_block(Input* input, std::uint64_t count, T** data) {
  const auto total = static_cast<std::size_t>(count);
  if (input->size_known) return read_block_at(input, total, data);
  constexpr std::size_t piece = PIECE<T>;
  std::size_t capacity = std::min(total, piece);
  auto block = hooked_allocate<T>(capacity);
  if (block == nullptr) return ERR_NO_MEM;
  // Each piece is put in host order right after it is read, while it is
  // still in the processor's cache.
  for (std::size_t done = 0; done < total;) {
    if (done == capacity) {
      const std::size_t grown = std::min(total, capacity * 2);
      void* moved = memory_hooks.reallocate(block.get(), grown * sizeof(T));
      if (moved == nullptr) return ERR_NO_MEM;
      static_cast<void>(block.release());
      block.reset(static_cast<T*>(moved));
      capacity = grown;
    }
    const std::size_t n = std::min(piece, capacity - done);
    if (stop_asked(input->interrupt)) return ERR_INTERRUPTED;
    const ErrorCode code = read_exact(input, block.get() + done, n * sizeof(T));
    if (code != NO_ERROR) return code;
    reverse_values(block.get() + done, n);
    done += n;
  }
  *data = block.release();
  return NO_ERROR;
}

// The geometry must be one the writer can have produced: sizes not
// negative, block lengths equal to the sizes, an absent map all zero, and at
// least one block.
ErrorCode check_geometry(const IntensityMap& intensity, const PhaseMap& phase,
                         const HeaderLeadingFields& leading, BlockSizes* sizes) {
  if (intensity.width < 0 || intensity.height < 0 || intensity.buckets < 0 || phase.width < 0 ||
      phase.height < 0) {
    return ERR_NOT_A_DATA_FILE;
  }
  sizes->intensity_values =
      std::uint64_t(intensity.width) * std::uint64_t(intensity.height) * std::uint64_t(intensity.buckets);
  sizes->phase_values = std::uint64_t(phase.width) * std::uint64_t(phase.height);
  if (sizes->intensity_values * 2 != leading.intensity_bytes ||
      sizes->phase_values * 4 != leading.phase_bytes) {
    return ERR_NOT_A_DATA_FILE;
  }
  const bool intensity_zero = intensity.origin_x == 0 && intensity.origin_y == 0 && intensity.width == 0 &&
                              intensity.height == 0 && intensity.buckets == 0 && intensity.range == 0;
  const bool phase_zero = phase.origin_x == 0 && phase.origin_y == 0 && phase.width == 0 && phase.height == 0;
  if ((sizes->intensity_values == 0 && !intensity_zero) || (sizes->phase_values == 0 && !phase_zero)) {
    return ERR_NOT_A_DATA_FILE;
  }
  if (sizes->intensity_values == 0 && sizes->phase_values == 0) return ERR_NOT_A_DATA_FILE;
  return NO_ERROR;
}

// Checks a whole header of the given format and takes its fields.
ErrorCode parse_header(const std::uint8_t* file_bytes, const HeaderFormat& format, DataFileContents* contents,
                       BlockSizes* sizes) {
  const auto header_size = static_cast<std::size_t>(format.header_size);
  HeaderImage image;
  expand_header(std::span(file_bytes, header_size), &image);
  HeaderLeadingFields leading;
  std::memcpy(&leading, image.data(), sizeof leading);
  std::memcpy(&contents->header, image.data() + HEADER_RECORD_POSITION, sizeof contents->header);
  // A format-3 header may have an all-zero extension: the writer makes one
  // when only the record's trailing bytes ask for format 3. Marking them
  // keeps the file readable and its rewrite byte for byte the same.
  if (format.header_format == 3 && choose_header_format(&contents->header) != 3) contents->header.trailing[0] = 1;
  if (leading.header_format != format.header_format || leading.header_size != format.header_size ||
      choose_header_format(&contents->header) != format.header_format) {
    return ERR_NOT_A_DATA_FILE;
  }
  contents->header_format = leading.header_format;
  contents->header_size = leading.header_size;
  contents->software = leading.software_info;

  IntensityMap& intensity = contents->intensity;
  intensity.origin_x = leading.intensity_origin_x;
  intensity.origin_y = leading.intensity_origin_y;
  intensity.width = leading.intensity_width;
  intensity.height = leading.intensity_height;
  intensity.buckets = leading.intensity_buckets;
  intensity.range = leading.intensity_range;
  PhaseMap& phase = contents->phase;
  phase.origin_x = leading.phase_origin_x;
  phase.origin_y = leading.phase_origin_y;
  phase.width = leading.phase_width;
  phase.height = leading.phase_height;
  return check_geometry(intensity, phase, leading, sizes);
}

ErrorCode read_header(Input* input, DataFileContents* contents, BlockSizes* sizes) {
  std::uint8_t file_bytes[HEADER_SIZE_LONG];
  ErrorCode code = read_exact(input, file_bytes, MAGIC_SIZE);
  if (code != NO_ERROR) return code;
  const HeaderFormat* format = format_of_magic(big_endian_32(file_bytes));
  if (format == nullptr) return ERR_NOT_A_DATA_FILE;
  const auto header_size = static_cast<std::size_t>(format->header_size);
  code = read_exact(input, file_bytes + MAGIC_SIZE, header_size - MAGIC_SIZE);
  if (code != NO_ERROR) return code;
  return parse_header(file_bytes, *format, contents, sizes);
}

// Bytes from the stream's position (set in *position) to its end, or -1
// when it cannot tell.
std::int64_t remaining_length(std::FILE* stream, std::uint64_t* position) {
  struct stat status {};
  const long at = std::ftell(stream);
  if (at < 0 || fstat(fileno(stream), &status) != 0 || !S_ISREG(status.st_mode)) return -1;
  *position = static_cast<std::uint64_t>(at);
  return static_cast<std::int64_t>(status.st_size) - at;
}

ErrorCode read_stream(Input* input, DataFileContents* contents) {
  BlockSizes sizes{};
  ErrorCode code = read_header(input, contents, &sizes);
  if (code != NO_ERROR) return code;

  // The length is checked before any block is allocated, so that a short
  // file that claims a huge block costs nothing.
  const std::uint64_t block_bytes = sizes.intensity_values * 2 + sizes.phase_values * 4;
  const std::int64_t remaining = remaining_length(input->file, &input->offset);
  input->size_known = remaining >= 0;
  if (remaining >= 0 && static_cast<std::uint64_t>(remaining) < block_bytes) return ERR_PREMATURE_EOF;
  if (remaining >= 0 && static_cast<std::uint64_t>(remaining) > block_bytes) return ERR_NOT_A_DATA_FILE;

  if (sizes.intensity_values != 0) {
    code = read_block(input, sizes.intensity_values, &contents->intensity.data);
    if (code != NO_ERROR) return code;
    contents->intensity.capacity = static_cast<std::uint32_t>(sizes.intensity_values);
  }
  if (sizes.phase_values != 0) {
    code = read_block(input, sizes.phase_values, &contents->phase.data);
    if (code != NO_ERROR) return code;
    contents->phase.capacity = static_cast<std::uint32_t>(sizes.phase_values);
  }
  // A file read at offsets must still end where its blocks do.
  if (input->size_known) {
    unsigned char extra;
    code = read_at(fileno(input->file), &extra, 1, input->offset, &input->reason);
    return code == ERR_PREMATURE_EOF ? NO_ERROR : code == NO_ERROR ? ERR_NOT_A_DATA_FILE : code;
  }
  if (getc_retrying(input->file) != EOF) return ERR_NOT_A_DATA_FILE;
  if (std::ferror(input->file)) {
    input->reason = errno;
    return ERR_CANT_READ_FILE;
  }
  return NO_ERROR;
}

}  // namespace

ErrorCode read_data_file_header(std::FILE* stream, DataFileContents* contents) {
  if (stream == nullptr || contents == nullptr) return ERR_INVALID_PARAM;
  data_file_contents_clear(contents);
  BlockSizes sizes{};
  Input input{stream, false};
  const ErrorCode code = read_header(&input, contents, &sizes);
  if (code == ERR_CANT_READ_FILE) errno = input.reason;
  return code;
}

bool is_data_file_magic(const unsigned char (&first_bytes)[4]) {
  return format_of_magic(big_endian_32(first_bytes)) != nullptr;
}

bool starts_as_data_file(const char* path) {
  const int saved = errno;
  FileKindInfo kind{};
  file_kind_of_path(path, &kind);  // a failure leaves the kind unknown
  errno = saved;
  return kind.kind == FILE_KIND_DATA_FILE;
}

void data_file_contents_clear(DataFileContents* contents) { std::memset(contents, 0, sizeof *contents); }

void data_file_contents_release(DataFileContents* contents) {
  if (contents->intensity.data != nullptr) memory_hooks.release(contents->intensity.data);
  if (contents->phase.data != nullptr) memory_hooks.release(contents->phase.data);
  data_file_contents_clear(contents);
}

ErrorCode read_data_file(const char* path, DataFileContents* contents) {
  return read_data_file_watched(path, contents, nullptr);
}

ErrorCode read_data_file_watched(const char* path, DataFileContents* contents,
                                 const InterruptCheck* interrupt) {
  if (path == nullptr || contents == nullptr) return ERR_INVALID_PARAM;
  data_file_contents_clear(contents);
  FileHandle stream(u_open_path(path, "rb"));
  // Opening a FIFO waits for its writer; a signal meanwhile is no failure.
  while (stream == nullptr && errno == EINTR) {
    if (stop_asked(interrupt, true)) return ERR_INTERRUPTED;
    stream.reset(u_open_path(path, "rb"));
  }
  if (stream == nullptr) return ERR_CANT_OPEN_FILE;
  // Reads are whole headers and pieces of a block, and a watched read waits
  // on the descriptor, which a stream buffer would hide bytes from.
  std::setvbuf(stream.get(), nullptr, _IONBF, 0);
  Input input{stream.get(), false};
  input.interrupt = interrupt;
  const ErrorCode code = read_stream(&input, contents);
  if (code != NO_ERROR) data_file_contents_release(contents);
  stream.reset();
  // Releasing and closing may touch errno after the read that failed.
  if (code == ERR_CANT_READ_FILE) errno = input.reason;
  return code;
}

ErrorCode data_file_length(const unsigned char* first_bytes, std::size_t size, std::uint64_t* length) {
  if (first_bytes == nullptr || length == nullptr) return ERR_INVALID_PARAM;
  *length = 0;
  if (size < MAGIC_SIZE) return ERR_PREMATURE_EOF;
  const HeaderFormat* format = format_of_magic(big_endian_32(first_bytes));
  if (format == nullptr) return ERR_NOT_A_DATA_FILE;
  const auto header_size = static_cast<std::size_t>(format->header_size);
  *length = header_size;
  if (size < header_size) return ERR_PREMATURE_EOF;
  DataFileContents contents;
  data_file_contents_clear(&contents);
  BlockSizes sizes{};
  const ErrorCode code = parse_header(first_bytes, *format, &contents, &sizes);
  if (code != NO_ERROR) return code;
  *length = header_size + sizes.intensity_values * 2 + sizes.phase_values * 4;
  return NO_ERROR;
}
