// X3P writer: libarchive writes the ZIP container (stored parts, ZIP64
// where a part needs it) through the safe output, libxml2 writes main.xml,
// OpenSSL sums the parts. The point data goes out as it comes; the validity
// bits of counts wait in an unnamed temporary file until the data is whole,
// since a container takes one part at a time.
#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <libxml/xmlwriter.h>
#include <mapconv/map_records.h>
#include <mapconv/memory_hooks.h>
#include <mapconv/output_file.h>
#include <mapconv/x3p.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <new>
#include <string_view>

#include "x3p_parts.h"

namespace {

using x3p::Md5;
using x3p::SumThread;
using x3p::store_little;

constexpr std::size_t VALID_PIECE_BYTES = x3p::PIECE_POINTS / 8;

}  // namespace

struct X3pWriterState {
  X3pLayout layout;
  X3pMetadata metadata;
  bool has_metadata;
  OutputFile output;
  archive* zip;
  ErrorCode write_failure;  // of the output, seen inside libarchive's calls
  int write_errno;
  ErrorCode failure;  // the first failure, returned by every later call
  std::uint64_t points;
  std::uint64_t written;
  unsigned char* staging;  // two halves of PIECE_POINTS values of up to 8 bytes, used in turn
  unsigned pieces_written;
  unsigned char* valid_bytes;
  std::size_t valid_filled;  // whole bytes waiting in valid_bytes
  unsigned char valid_byte;  // bits of the group of eight points in progress
  int valid_fd;              // the temporary file of validity bits; -1 for none
  std::uint64_t valid_spooled;
  bool any_invalid;
  SumThread* data_sum;
  Md5* valid_sum;
};

namespace {

la_ssize_t zip_write(archive*, void* context, const void* bytes, size_t size) {
  auto* state = static_cast<X3pWriterState*>(context);
  const ErrorCode code = output_file_write(&state->output, bytes, size);
  if (code != NO_ERROR) {
    state->write_failure = code;
    state->write_errno = errno;
    return -1;
  }
  return static_cast<la_ssize_t>(size);
}

// The code of a failed libarchive call: the output's, or ERR_NO_MEM for
// libarchive's own trouble (it fails only for want of memory once the
// output works).
ErrorCode zip_failure(X3pWriterState* state) {
  if (state->write_failure != NO_ERROR) {
    errno = state->write_errno;
    return state->write_failure;
  }
  return ERR_CANT_WRITE_FILE;
}

ErrorCode begin_part(X3pWriterState* state, const char* name, std::uint64_t size) {
  archive_entry* entry = archive_entry_new();
  if (entry == nullptr) return ERR_NO_MEM;
  archive_entry_set_pathname(entry, name);
  archive_entry_set_filetype(entry, AE_IFREG);
  archive_entry_set_perm(entry, 0644);
  archive_entry_set_size(entry, static_cast<la_int64_t>(size));
  archive_entry_set_mtime(entry, std::time(nullptr), 0);
  const int status = archive_write_header(state->zip, entry);
  archive_entry_free(entry);
  return status == ARCHIVE_OK ? NO_ERROR : zip_failure(state);
}

ErrorCode write_bytes(X3pWriterState* state, const void* bytes, std::size_t size) {
  const auto* from = static_cast<const unsigned char*>(bytes);
  while (size > 0) {
    const la_ssize_t done = archive_write_data(state->zip, from, size);
    if (done <= 0) return zip_failure(state);
    from += done;
    size -= static_cast<std::size_t>(done);
  }
  return NO_ERROR;
}

ErrorCode end_part(X3pWriterState* state) {
  return archive_write_finish_entry(state->zip) == ARCHIVE_OK ? NO_ERROR : zip_failure(state);
}

ErrorCode flush_valid(X3pWriterState* state) {
  std::size_t done = 0;
  while (done < state->valid_filled) {
    const ssize_t n = write(state->valid_fd, state->valid_bytes + done, state->valid_filled - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return ERR_CANT_WRITE_FILE;
    done += static_cast<std::size_t>(n);
  }
  state->valid_sum->add(state->valid_bytes, state->valid_filled);
  state->valid_spooled += state->valid_filled;
  state->valid_filled = 0;
  return NO_ERROR;
}

ErrorCode add_valid_bit(X3pWriterState* state, std::uint64_t point, bool valid) {
  if (valid) state->valid_byte |= static_cast<unsigned char>(1u << (point % 8));
  if (point % 8 == 7 || point + 1 == state->points) {
    state->valid_bytes[state->valid_filled++] = state->valid_byte;
    state->valid_byte = 0;
    if (state->valid_filled == VALID_PIECE_BYTES) return flush_valid(state);
  }
  return NO_ERROR;
}

int open_temporary() {
  const char* folder = std::getenv("TMPDIR");
  if (folder == nullptr || folder[0] == '\0') folder = "/tmp";
  int fd = open(folder, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd >= 0) return fd;
  char name[4096];
  if (std::snprintf(name, sizeof name, "%s/.x3p-valid-XXXXXX", folder) >= static_cast<int>(sizeof name))
    return -1;
  fd = mkostemp(name, O_CLOEXEC);
  if (fd >= 0) unlink(name);
  return fd;
}

// Shortest text that reads back as the same double, whatever the locale.
void number_text(double value, char (&text)[32]) {
  const auto result = std::to_chars(text, text + sizeof text - 1, value);
  *result.ptr = '\0';
}

int element(xmlTextWriterPtr writer, const char* name, const char* text) {
  return xmlTextWriterWriteElement(writer, reinterpret_cast<const xmlChar*>(name),
                                   reinterpret_cast<const xmlChar*>(text));
}

int start(xmlTextWriterPtr writer, const char* name) {
  return xmlTextWriterStartElement(writer, reinterpret_cast<const xmlChar*>(name));
}

int axis(xmlTextWriterPtr writer, const char* name, const char* axis_type, const char* data_type,
         const double* increment, const double* offset) {
  char text[32];
  int status = start(writer, name);
  if (status >= 0) status = element(writer, "AxisType", axis_type);
  if (status >= 0 && data_type != nullptr) status = element(writer, "DataType", data_type);
  if (status >= 0 && increment != nullptr) {
    number_text(*increment, text);
    status = element(writer, "Increment", text);
  }
  if (status >= 0 && offset != nullptr) {
    number_text(*offset, text);
    status = element(writer, "Offset", text);
  }
  if (status >= 0) status = xmlTextWriterEndElement(writer);
  return status;
}

int record2(xmlTextWriterPtr writer, const X3pMetadata& m) {
  int status = start(writer, "Record2");
  if (status >= 0) status = element(writer, "Date", m.date);
  if (status >= 0 && m.creator[0] != '\0') status = element(writer, "Creator", m.creator);
  if (status >= 0) status = start(writer, "Instrument");
  if (status >= 0) status = element(writer, "Manufacturer", m.manufacturer);
  if (status >= 0) status = element(writer, "Model", m.model);
  if (status >= 0) status = element(writer, "Serial", m.serial);
  if (status >= 0) status = element(writer, "Version", m.version);
  if (status >= 0) status = xmlTextWriterEndElement(writer);
  if (status >= 0) status = element(writer, "CalibrationDate", m.calibration_date);
  if (status >= 0) status = start(writer, "ProbingSystem");
  if (status >= 0) status = element(writer, "Type", m.probing_type);
  if (status >= 0) status = element(writer, "Identification", m.probing_identification);
  if (status >= 0) status = xmlTextWriterEndElement(writer);
  if (status >= 0 && m.comment[0] != '\0') status = element(writer, "Comment", m.comment);
  if (status >= 0) status = xmlTextWriterEndElement(writer);
  return status;
}

// main.xml for the parts written so far, into buffer.
ErrorCode build_main_xml(X3pWriterState* state, const char* data_md5, const char* valid_md5,
                         xmlBufferPtr buffer) {
  xmlTextWriterPtr writer = xmlNewTextWriterMemory(buffer, 0);
  if (writer == nullptr) return ERR_NO_MEM;
  const X3pLayout& l = state->layout;
  const bool counts = l.data_type == X3P_INT32;
  const double zero = 0.0;
  char text[32];
  int status = xmlTextWriterSetIndent(writer, 1);
  if (status >= 0) status = xmlTextWriterStartDocument(writer, nullptr, "UTF-8", nullptr);
  if (status >= 0) {
    status = xmlTextWriterStartElementNS(writer, reinterpret_cast<const xmlChar*>("p"),
                                         reinterpret_cast<const xmlChar*>("ISO5436_2"),
                                         reinterpret_cast<const xmlChar*>(x3p::NAMESPACE.data()));
  }
  if (status >= 0) status = start(writer, "Record1");
  if (status >= 0) status = element(writer, "Revision", x3p::REVISION.data());
  if (status >= 0) status = element(writer, "FeatureType", "SUR");
  if (status >= 0) status = start(writer, "Axes");
  if (status >= 0) status = axis(writer, "CX", "I", "D", &l.x_increment, &zero);
  if (status >= 0) status = axis(writer, "CY", "I", "D", &l.y_increment, &zero);
  if (status >= 0) {
    status = axis(writer, "CZ", "A", x3p_data_type_letter(l.data_type), counts ? &l.z_increment : nullptr,
                  counts ? &zero : nullptr);
  }
  if (status >= 0) status = xmlTextWriterEndElement(writer);
  if (status >= 0) status = xmlTextWriterEndElement(writer);
  if (status >= 0 && state->has_metadata) status = record2(writer, state->metadata);
  if (status >= 0) status = start(writer, "Record3");
  if (status >= 0) status = start(writer, "MatrixDimension");
  std::snprintf(text, sizeof text, "%llu", static_cast<unsigned long long>(l.columns));
  if (status >= 0) status = element(writer, "SizeX", text);
  std::snprintf(text, sizeof text, "%llu", static_cast<unsigned long long>(l.rows));
  if (status >= 0) status = element(writer, "SizeY", text);
  if (status >= 0) status = element(writer, "SizeZ", "1");
  if (status >= 0) status = xmlTextWriterEndElement(writer);
  if (status >= 0) status = start(writer, "DataLink");
  if (status >= 0) status = element(writer, "PointDataLink", x3p::DATA_BIN.data());
  if (status >= 0) status = element(writer, "MD5ChecksumPointData", data_md5);
  if (status >= 0 && valid_md5 != nullptr) status = element(writer, "ValidPointsLink", x3p::VALID_BIN.data());
  if (status >= 0 && valid_md5 != nullptr) status = element(writer, "MD5ChecksumValidPoints", valid_md5);
  if (status >= 0) status = xmlTextWriterEndElement(writer);
  if (status >= 0) status = xmlTextWriterEndElement(writer);
  if (status >= 0) status = start(writer, "Record4");
  if (status >= 0) status = element(writer, "ChecksumFile", x3p::CHECKSUM_FILE.data());
  if (status >= 0) status = xmlTextWriterEndElement(writer);
  if (status >= 0) status = xmlTextWriterEndDocument(writer);
  xmlFreeTextWriter(writer);
  return status >= 0 ? NO_ERROR : ERR_NO_MEM;
}

void release_state(X3pWriterState* state) {
  if (state == nullptr) return;
  const int reason = errno;
  if (state->zip != nullptr) archive_write_free(state->zip);
  output_file_discard(&state->output);
  if (state->valid_fd >= 0) close(state->valid_fd);
  if (state->data_sum != nullptr) {
    state->data_sum->~SumThread();
    memory_hooks.release(state->data_sum);
    state->valid_sum->~Md5();
    memory_hooks.release(state->valid_sum);
  }
  memory_hooks.release(state->staging);
  memory_hooks.release(state->valid_bytes);
  state->~X3pWriterState();
  memory_hooks.release(state);
  errno = reason;
}

bool layout_fits(const X3pLayout* l) {
  if (l->columns == 0 || l->rows == 0 || l->columns > (std::uint64_t{1} << 26) ||
      l->rows > (std::uint64_t{1} << 26)) {
    return false;
  }
  if (!(std::isfinite(l->x_increment) && l->x_increment > 0.0 && std::isfinite(l->y_increment) &&
        l->y_increment > 0.0)) {
    return false;
  }
  // A Record2 the schema takes: both dates and a probing type of its three.
  if (const X3pMetadata* m = l->metadata; m != nullptr && m->present) {
    const std::string_view type = m->probing_type;
    if (m->date[0] == '\0' || m->calibration_date[0] == '\0' ||
        (type != "Contacting" && type != "NonContacting" && type != "Software")) {
      return false;
    }
  }
  if (l->data_type == X3P_INT32) return std::isfinite(l->z_increment) && l->z_increment != 0.0;
  return l->data_type == X3P_FLOAT32 || l->data_type == X3P_FLOAT64;
}

ErrorCode begin(const char* path, unsigned flags, const struct stat* input, X3pWriter* writer) {
  X3pWriterState* state = writer->state;
  state->staging = static_cast<unsigned char*>(memory_hooks.allocate(2 * x3p::PIECE_POINTS * 8));
  state->valid_bytes = static_cast<unsigned char*>(memory_hooks.allocate(VALID_PIECE_BYTES));
  void* thread = memory_hooks.allocate(sizeof(SumThread));
  void* sum = memory_hooks.allocate(sizeof(Md5));
  if (state->staging == nullptr || state->valid_bytes == nullptr || thread == nullptr || sum == nullptr) {
    memory_hooks.release(thread);
    memory_hooks.release(sum);
    return ERR_NO_MEM;
  }
  state->data_sum = new (thread) SumThread();
  state->valid_sum = new (sum) Md5();
  if (!state->data_sum->ok() || !state->valid_sum->ok()) return ERR_NO_MEM;
  if (state->layout.data_type == X3P_INT32) {
    state->valid_fd = open_temporary();
    if (state->valid_fd < 0) return ERR_CANT_CREATE_FILE;
  }
  state->zip = archive_write_new();
  if (state->zip == nullptr) return ERR_NO_MEM;
  // Stored, not deflated: the heights of a measurement gain little from
  // deflating, and reading and writing them at disk speed counts more.
  if (archive_write_set_format_zip(state->zip) != ARCHIVE_OK ||
      archive_write_zip_set_compression_store(state->zip) != ARCHIVE_OK ||
      archive_write_set_bytes_per_block(state->zip, 64 * 1024) != ARCHIVE_OK ||
      archive_write_set_bytes_in_last_block(state->zip, 1) != ARCHIVE_OK) {
    return ERR_NO_MEM;
  }
  const ErrorCode code = output_file_open_apart(path, flags, input, &state->output);
  writer->name_taken = state->output.name_taken;
  writer->is_input = state->output.is_input;
  if (code != NO_ERROR) return code;
  if (archive_write_open2(state->zip, state, nullptr, zip_write, nullptr, nullptr) != ARCHIVE_OK) {
    return zip_failure(state);
  }
  return begin_part(state, x3p::DATA_BIN.data(), state->points * x3p::type_size(state->layout.data_type));
}

ErrorCode check_write(X3pWriter* writer, const void* values, std::size_t count, bool counts) {
  if (writer == nullptr || writer->state == nullptr) return ERR_INVALID_PARAM;
  X3pWriterState* state = writer->state;
  if (state->failure != NO_ERROR) return state->failure;
  if ((values == nullptr && count > 0) || count > state->points - state->written ||
      counts != (state->layout.data_type == X3P_INT32)) {
    return ERR_INVALID_PARAM;
  }
  return NO_ERROR;
}

template <typename Encode>
ErrorCode write_pieces(X3pWriterState* state, std::size_t count, std::size_t size, Encode encode) {
  std::size_t done = 0;
  while (done < count) {
    const std::size_t piece = std::min(count - done, x3p::PIECE_POINTS);
    // The half the sum of the piece before is not reading.
    unsigned char* staging = state->staging + (state->pieces_written++ % 2) * x3p::PIECE_POINTS * 8;
    for (std::size_t i = 0; i < piece; ++i) {
      const ErrorCode code = encode(done + i, staging + i * size);
      if (code != NO_ERROR) return code;
    }
    state->data_sum->add(staging, piece * size);
    const ErrorCode code = write_bytes(state, staging, piece * size);
    if (code != NO_ERROR) return code;
    done += piece;
  }
  state->written += count;
  return NO_ERROR;
}

}  // namespace

ErrorCode x3p_writer_begin(const char* path, unsigned flags, const struct stat* input,
                           const X3pLayout* layout, X3pWriter* writer) {
  if (writer == nullptr) return ERR_INVALID_PARAM;
  std::memset(static_cast<void*>(writer), 0, sizeof *writer);
  if (path == nullptr || layout == nullptr || !layout_fits(layout)) return ERR_INVALID_PARAM;
  void* block = memory_hooks.allocate(sizeof(X3pWriterState));
  if (block == nullptr) return ERR_NO_MEM;
  std::memset(block, 0, sizeof(X3pWriterState));
  auto* state = new (block) X3pWriterState();
  state->valid_fd = -1;
  output_file_clear(&state->output);
  state->layout = *layout;
  state->has_metadata = layout->metadata != nullptr && layout->metadata->present;
  if (state->has_metadata) state->metadata = *layout->metadata;
  state->layout.metadata = nullptr;
  state->points = layout->columns * layout->rows;
  writer->state = state;
  const ErrorCode code = begin(path, flags, input, writer);
  if (code != NO_ERROR) {
    release_state(state);
    writer->state = nullptr;
  }
  return code;
}

ErrorCode x3p_writer_write_heights(X3pWriter* writer, const double* heights, std::size_t count) {
  ErrorCode code = check_write(writer, heights, count, false);
  if (code != NO_ERROR) return code;
  X3pWriterState* state = writer->state;
  if (state->layout.data_type == X3P_FLOAT64) {
    code = write_pieces(state, count, 8, [&](std::size_t i, unsigned char* bytes) {
      store_little(std::bit_cast<std::uint64_t>(heights[i]), bytes);
      return NO_ERROR;
    });
  } else {
    code = write_pieces(state, count, 4, [&](std::size_t i, unsigned char* bytes) {
      const double height = heights[i];
      if (std::isfinite(height) && std::fabs(height) > std::numeric_limits<float>::max()) {
        return ERR_PARAM_OUT_OF_RANGE;
      }
      store_little(std::bit_cast<std::uint32_t>(static_cast<float>(height)), bytes);
      return NO_ERROR;
    });
  }
  if (code != NO_ERROR) state->failure = code;
  return code;
}

ErrorCode x3p_writer_write_counts(X3pWriter* writer, const std::int32_t* counts, std::size_t count) {
  ErrorCode code = check_write(writer, counts, count, true);
  if (code != NO_ERROR) return code;
  X3pWriterState* state = writer->state;
  const std::uint64_t first = state->written;
  code = write_pieces(state, count, 4, [&](std::size_t i, unsigned char* bytes) {
    const bool valid = counts[i] != PHASE_INVALID;
    if (!valid) state->any_invalid = true;
    store_little(static_cast<std::uint32_t>(valid ? counts[i] : 0), bytes);
    return add_valid_bit(state, first + i, valid);
  });
  if (code != NO_ERROR) state->failure = code;
  return code;
}

namespace {

ErrorCode finish(X3pWriterState* state) {
  state->data_sum->wait();  // the valid bits are copied through the staging block
  ErrorCode code = end_part(state);
  if (code != NO_ERROR) return code;
  const auto data_md5 = state->data_sum->hex();
  std::array<char, 33> valid_md5{};
  if (state->layout.data_type == X3P_INT32) {
    code = flush_valid(state);
    if (code != NO_ERROR) return code;
    valid_md5 = state->valid_sum->hex();
  }
  if (state->any_invalid) {
    code = begin_part(state, x3p::VALID_BIN.data(), state->valid_spooled);
    std::uint64_t offset = 0;
    while (code == NO_ERROR && offset < state->valid_spooled) {
      const std::size_t wanted = static_cast<std::size_t>(
          std::min<std::uint64_t>(state->valid_spooled - offset, x3p::PIECE_POINTS * 8));
      const ssize_t got = pread(state->valid_fd, state->staging, wanted, static_cast<off_t>(offset));
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) return ERR_CANT_WRITE_FILE;
      code = write_bytes(state, state->staging, static_cast<std::size_t>(got));
      offset += static_cast<std::uint64_t>(got);
    }
    if (code == NO_ERROR) code = end_part(state);
    if (code != NO_ERROR) return code;
  }
  xmlBufferPtr buffer = xmlBufferCreate();
  if (buffer == nullptr) return ERR_NO_MEM;
  code = build_main_xml(state, data_md5.data(), state->any_invalid ? valid_md5.data() : nullptr, buffer);
  const auto* xml = xmlBufferContent(buffer);
  const std::size_t xml_size = static_cast<std::size_t>(xmlBufferLength(buffer));
  Md5 xml_sum;
  if (!xml_sum.ok()) code = ERR_NO_MEM;
  if (code == NO_ERROR) code = begin_part(state, x3p::MAIN_XML.data(), xml_size);
  if (code == NO_ERROR) code = write_bytes(state, xml, xml_size);
  if (code == NO_ERROR) code = end_part(state);
  xml_sum.add(xml, xml_size);
  xmlBufferFree(buffer);
  if (code != NO_ERROR) return code;
  char line[64];
  const int length = std::snprintf(line, sizeof line, "%s *%s\n", xml_sum.hex().data(), x3p::MAIN_XML.data());
  code = begin_part(state, x3p::CHECKSUM_FILE.data(), static_cast<std::uint64_t>(length));
  if (code == NO_ERROR) code = write_bytes(state, line, static_cast<std::size_t>(length));
  if (code == NO_ERROR) code = end_part(state);
  if (code != NO_ERROR) return code;
  if (archive_write_close(state->zip) != ARCHIVE_OK) return zip_failure(state);
  return NO_ERROR;
}

}  // namespace

ErrorCode x3p_writer_commit(X3pWriter* writer) {
  if (writer == nullptr || writer->state == nullptr) return ERR_INVALID_PARAM;
  X3pWriterState* state = writer->state;
  ErrorCode code = state->failure;
  if (code == NO_ERROR && state->written != state->points) code = ERR_INVALID_PARAM;
  if (code == NO_ERROR) code = finish(state);
  if (code == NO_ERROR) {
    code = output_file_commit(&state->output);
    writer->name_taken = state->output.name_taken;
  }
  release_state(state);
  writer->state = nullptr;
  return code;
}

ErrorCode x3p_writer_set_increments(X3pWriter* writer, double x_increment, double y_increment) {
  if (writer == nullptr || writer->state == nullptr || !(std::isfinite(x_increment) && x_increment > 0.0) ||
      !(std::isfinite(y_increment) && y_increment > 0.0)) {
    return ERR_INVALID_PARAM;
  }
  writer->state->layout.x_increment = x_increment;
  writer->state->layout.y_increment = y_increment;
  return NO_ERROR;
}

void x3p_writer_discard(X3pWriter* writer) {
  if (writer == nullptr || writer->state == nullptr) return;
  release_state(writer->state);
  writer->state = nullptr;
}

bool x3p_writer_in_place(const X3pWriter* writer) {
  return writer->state != nullptr && writer->state->output.in_place;
}
