#include <fcntl.h>
#include <mapconv/data_file_reader.h>
#include <mapconv/file_kind.h>
#include <mapconv/path.h>
#include <mapconv/xdt_reader.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "retrying_io.h"

namespace {

// A kind with a mark of its own: claims the bytes (true) and sets its length
// and code, or leaves them to the next.
struct Recogniser {
  FileKind kind;
  bool (*claims)(const unsigned char (&first)[4]);
  ErrorCode (*measure)(const unsigned char* first_bytes, std::size_t size, FileKindInfo* info);
};

ErrorCode measure_data_file(const unsigned char* first_bytes, std::size_t size, FileKindInfo* info) {
  const ErrorCode code = data_file_length(first_bytes, size, &info->length);
  if (code == ERR_NOT_A_DATA_FILE) info->length = 0;
  return code;
}

// A ZIP container starts with a local file header; which entries it holds
// is the X3P library's to judge, so the core needs no ZIP library.
bool is_zip_local_header(const unsigned char (&first)[4]) {
  return first[0] == 'P' && first[1] == 'K' && first[2] == 3 && first[3] == 4;
}

ErrorCode measure_x3p(const unsigned char*, std::size_t, FileKindInfo*) { return NO_ERROR; }

// Kinds with a mark, tried in order; a new kind goes here.
constexpr Recogniser marked_kinds[] = {
    {FILE_KIND_DATA_FILE, is_data_file_magic, measure_data_file},
    {FILE_KIND_X3P, is_zip_local_header, measure_x3p},
};

// An XDT grid has no mark: it is what no other kind claims.
ErrorCode measure_xdt(const unsigned char (&first)[4], FileKindInfo* info) {
  info->kind = FILE_KIND_XDT;
  if (xdt_grid_size(first, false, &info->columns, &info->rows) != NO_ERROR) return ERR_PARAM_OUT_OF_RANGE;
  // At most 32767 x 32767 points: far within 64 bits.
  constexpr std::uint64_t point_size = 12;
  info->length =
      4 + point_size * static_cast<std::uint64_t>(info->columns) * static_cast<std::uint64_t>(info->rows);
  return NO_ERROR;
}

void copy_text(char* text, std::size_t size, const char* words, const char* more = nullptr,
               const char* separator = ": ") {
  if (text == nullptr || size == 0) return;
  if (more == nullptr || more[0] == '\0') {
    std::snprintf(text, size, "%s", words);
  } else {
    std::snprintf(text, size, "%s%s%s", words, separator, more);
  }
}

// The words for code alone, for a file of kind (FILE_KIND_UNKNOWN: any file).
const char* words_for(ErrorCode code, FileKind kind) {
  const bool known = kind != FILE_KIND_UNKNOWN;
  if (kind == FILE_KIND_X3P) {
    switch (code) {
      case ERR_NOT_IMPLEMENTED:
        return "an X3P file, which needs the X3P library (built where libarchive, libxml2 and libcrypto "
               "are found)";
      case ERR_NOT_A_DATA_FILE:
        return "not an X3P surface this reader takes";
      case ERR_CORRUPT_DATA_FILE:
        return "a damaged X3P file";
      case ERR_PARAM_OUT_OF_RANGE:
        return "an X3P grid out of range";
      case ERR_PREMATURE_EOF:
        return "an X3P file cut short";
      default:
        break;
    }
  }
  switch (code) {
    case ERR_CANT_OPEN_FILE:
      return "cannot open the file";
    case ERR_CANT_READ_FILE:
      return "cannot read the file";
    case ERR_PREMATURE_EOF:
      return kind == FILE_KIND_DATA_FILE ? "data file is cut short"
             : kind == FILE_KIND_XDT     ? "not a data file, and cut short as an XDT file"
                                         : "the file ends early";
    case ERR_NOT_A_DATA_FILE:
      return known ? "not a valid data file (inconsistent header or block lengths)" : "not a data file";
    case ERR_PARAM_OUT_OF_RANGE:
      return known
                 ? "not a data file, and not a valid XDT file (grid size or lateral resolution out of range)"
                 : "a value is out of range";
    case ERR_NO_MEM:
      return "not enough memory";
    case ERR_INVALID_PARAM:
      return "invalid argument";
    default:
      return known ? "cannot read the file" : "failed";
  }
}

}  // namespace

ErrorCode file_kind_of_bytes(const unsigned char* first_bytes, std::size_t size, FileKindInfo* info) {
  if (info == nullptr) return ERR_INVALID_PARAM;
  *info = FileKindInfo{FILE_KIND_UNKNOWN, 0, 0, 0};
  if (first_bytes == nullptr && size > 0) return ERR_INVALID_PARAM;
  if (size < 4) return ERR_PREMATURE_EOF;
  const unsigned char first[4] = {first_bytes[0], first_bytes[1], first_bytes[2], first_bytes[3]};
  for (const Recogniser& recogniser : marked_kinds) {
    if (recogniser.claims(first)) {
      info->kind = recogniser.kind;
      return recogniser.measure(first_bytes, size, info);
    }
  }
  return measure_xdt(first, info);
}

ErrorCode file_kind_of_path(const char* path, FileKindInfo* info) {
  if (info == nullptr) return ERR_INVALID_PARAM;
  *info = FileKindInfo{FILE_KIND_UNKNOWN, 0, 0, 0};
  if (path == nullptr) return ERR_INVALID_PARAM;
  const int saved = errno;
  // Looked at before it is opened: opening a FIFO waits for its writer,
  // and closing it unread could leave the writer without a reader.
  struct stat status {};
  if (u_stat_path(path, &status) != 0) return ERR_CANT_OPEN_FILE;
  if (S_ISDIR(status.st_mode)) {
    errno = EISDIR;
    return ERR_CANT_OPEN_FILE;
  }
  if (!S_ISREG(status.st_mode)) return NO_ERROR;
  const int descriptor = u_open_path_descriptor(path, O_RDONLY | O_NOCTTY | O_CLOEXEC);
  if (descriptor < 0) return ERR_CANT_OPEN_FILE;
  unsigned char head[FILE_KIND_HEAD_SIZE];
  int failure = 0;
  bool stopped = false;
  std::size_t got = 0;
  // The name may have been swapped for something else since the look.
  if (fstat(descriptor, &status) == 0 && S_ISREG(status.st_mode))
    got = read_descriptor(descriptor, head, sizeof head, nullptr, &failure, &stopped);
  close(descriptor);
  if (failure != 0) {
    errno = failure;
    return ERR_CANT_READ_FILE;
  }
  errno = saved;
  if (!S_ISREG(status.st_mode)) return NO_ERROR;
  return file_kind_of_bytes(head, got, info);
}

void describe_read_failure(ErrorCode code, FileKind kind, int system_error, const char* said, char* text,
                           std::size_t size) {
  const bool has_said = said != nullptr && said[0] != '\0';
  // The X3P reader's lines say what is wrong in full.
  if (has_said && (kind == FILE_KIND_UNKNOWN || kind == FILE_KIND_X3P)) return copy_text(text, size, said);
  // The reader's words take the place of the system's, and of the range's
  // explanation, saying the same more exactly.
  if (has_said && code == ERR_PARAM_OUT_OF_RANGE && kind != FILE_KIND_X3P) {
    return copy_text(text, size, "not a data file, and not a valid XDT file", said);
  }
  if (code == ERR_CANT_READ_FILE && !has_said && system_error != 0) {
    return copy_text(text, size, words_for(code, kind), std::strerror(system_error));
  }
  copy_text(text, size, words_for(code, kind), has_said ? said : nullptr);
}
