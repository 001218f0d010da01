// Fuzz target: the data file reader on arbitrary bytes. The reader accepts
// only what the writer can produce, so whatever it accepts must be written
// back byte for byte; whatever it refuses must leave nothing behind.
#include <mapconv/data_file_reader.h>
#include <mapconv/data_file_writer.h>
#include <mapconv/file_kind.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>

#include "fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::quiet_stderr("data_file_reader_fuzz");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::count_input();
  const std::span<const std::uint8_t> bytes(data, size);
  DataFileContents contents;
  std::memset(&contents, 0, sizeof contents);
  const ErrorCode code = read_data_file(fuzz::memory_file(bytes), &contents);
  // The kind and length told from the first bytes agree with the reader.
  FileKindInfo kind{};
  const ErrorCode told = file_kind_of_bytes(data, std::min(size, FILE_KIND_HEAD_SIZE), &kind);
  bool agree = true;
  if (code == NO_ERROR) {
    agree = told == NO_ERROR && kind.kind == FILE_KIND_DATA_FILE && kind.length == size;
  } else if (kind.kind != FILE_KIND_DATA_FILE) {
    agree = code == (size < 4 ? ERR_PREMATURE_EOF : ERR_NOT_A_DATA_FILE);
  } else if (told == ERR_PREMATURE_EOF || (told == NO_ERROR && size < kind.length)) {
    agree = code == ERR_PREMATURE_EOF;
  } else if (told == ERR_NOT_A_DATA_FILE) {
    agree = code == ERR_NOT_A_DATA_FILE;
  }
  fuzz::check(agree || code == ERR_CANT_OPEN_FILE, "the file's kind or length disagrees with the reader");
  if (code != NO_ERROR) {
    fuzz::check(code == ERR_CANT_OPEN_FILE || code == ERR_PREMATURE_EOF || code == ERR_NOT_A_DATA_FILE,
                "unexpected code");
    fuzz::check(contents.intensity.data == nullptr && contents.phase.data == nullptr &&
                    contents.intensity.capacity == 0 && contents.phase.capacity == 0 &&
                    contents.header_format == 0 && contents.header_size == 0,
                "contents not cleared after a failure");
    return 0;
  }
  char* written = nullptr;
  std::size_t length = 0;
  std::FILE* stream = open_memstream(&written, &length);
  fuzz::check(stream != nullptr, "open_memstream");
  const ErrorCode rewrite =
      write_data_stream(stream, &contents.software, &contents.header, &contents.intensity, &contents.phase);
  fuzz::check(std::fclose(stream) == 0, "fclose");
  fuzz::check(rewrite == NO_ERROR, "what was read cannot be written");
  fuzz::check(length == size && std::memcmp(written, data, size) == 0, "written back differently");
  std::free(written);
  data_file_contents_release(&contents);
  return 0;
}
