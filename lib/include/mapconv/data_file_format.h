// The binary data file's header: its formats and sizes, the caller's header
// record DataFileHeader, the rule that picks a record's format, and the two
// operations that turn a header image into the header's big-endian bytes.
// The blocks after the header are written by <mapconv/data_file_writer.h>.
#pragma once

#include <mapconv/api.h>
#include <mapconv/map_records.h>

#include <cstddef>
#include <cstdint>

inline constexpr std::uint32_t HEADER_FORMAT_1_MAGIC = 0x881B036F;
inline constexpr std::uint32_t HEADER_FORMAT_2_MAGIC = 0x881B0370;
inline constexpr std::uint32_t HEADER_FORMAT_3_MAGIC = 0x881B0371;

// Header lengths in the file: formats 1 and 2, format 3.
inline constexpr std::size_t HEADER_SIZE_SHORT = 834;
inline constexpr std::size_t HEADER_SIZE_LONG = 4096;

// The header image, from which the header is cut: the 76 bytes of leading
// fields (magic_number to phase_bytes, file offsets 0 to 75) in host order
// with natural alignment, which takes 80 bytes, then a copy of the whole
// DataFileHeader at HEADER_RECORD_POSITION.
inline constexpr std::size_t HEADER_IMAGE_SIZE = 4116;
inline constexpr std::size_t HEADER_RECORD_POSITION = 80;

// Three like groups of header fields from file offset 1262 on.
struct HeaderFieldGroup {
  std::uint8_t bytes_0[2];
  std::uint16_t field_2;
  std::uint32_t fields_4[14];
};

// The caller's header record: every header field from file offset 76 to
// 4095 in file order. Create it zero-filled and set the fields you know;
// the writer only reads it. Fields other than the named ones mean nothing
// to this library and are carried to the file unchanged.
struct DataFileHeader {
  std::uint32_t field_76;
  std::uint8_t bytes_80[82];
  std::uint16_t field_162;
  float scale_factor;  // times wavelength: the height of 32768 phase counts
  float wavelength;    // metres
  std::uint32_t field_172;
  float obliquity;
  std::uint32_t field_180;
  float lateral_resolution;  // distance between adjacent pixels
  std::uint16_t fields_188[5];
  std::uint32_t field_198;
  std::uint16_t field_202;
  std::uint32_t field_204;
  std::uint8_t bytes_208[2];
  std::uint32_t fields_210[2];
  std::int16_t phase_resolution;  // 2 or more selects format 2
  std::uint32_t field_220;
  std::uint16_t field_224;
  std::uint32_t field_226;
  std::uint16_t fields_230[2];
  std::int16_t frame_width;
  std::int16_t frame_height;
  std::uint16_t fields_238[4];
  std::uint8_t bytes_246[52];
  std::uint16_t fields_298[3];
  std::uint8_t bytes_304[56];
  std::uint32_t field_360;
  std::uint16_t fields_364[2];
  std::uint32_t field_368;
  std::uint16_t fields_372[2];
  std::uint32_t fields_376[2];
  std::uint16_t field_384;
  std::uint32_t fields_386[3];
  std::uint8_t bytes_398[8];
  std::uint16_t field_406;
  std::uint8_t bytes_408[20];
  std::uint16_t field_428;
  std::uint32_t fields_430[18];
  std::uint8_t bytes_502[232];
  std::uint16_t field_734;
  std::uint8_t bytes_736[80];
  std::uint16_t field_816;
  std::uint8_t bytes_818[16];
  std::uint8_t bytes_834[4];  // in format 3 only; the format rule does not look at it
  std::uint16_t fields_838[2];
  std::uint32_t fields_842[7];
  std::uint8_t bytes_870[30];
  std::uint16_t fields_900[2];
  std::uint8_t bytes_904[30];
  std::uint32_t field_934;
  std::uint8_t bytes_938[60];
  std::uint32_t fields_998[10];
  std::uint8_t bytes_1038[88];
  std::uint32_t fields_1126[23];
  std::uint8_t bytes_1218[32];
  std::uint32_t fields_1250[3];
  HeaderFieldGroup groups_1262[3];
  std::uint8_t bytes_1442[4];
  std::uint32_t fields_1446[2];
  std::uint8_t bytes_1454[2642];
  // Not in the file, but any non-zero byte here selects format 3. A member
  // rather than padding so that a record initialised with {} is all zero.
  std::uint8_t trailing[2];
};

static_assert(sizeof(HeaderFieldGroup) == 60);
static_assert(sizeof(DataFileHeader) == HEADER_IMAGE_SIZE - HEADER_RECORD_POSITION);
static_assert(alignof(DataFileHeader) == 4);

// The header format for a record (null: none given): 3 when any record byte
// from the field at file offset 838 to the record's end is non-zero, else 2
// when phase_resolution is 2 or more, else 1.
MAPCONV_API int choose_header_format(const DataFileHeader* header);

// Whether a value can be a float field of the header, the lateral
// resolution among them: finite and within float range, as the XDT reader
// requires of the spacing it finds. Anything else would be stored as an
// infinity or NaN, or be undefined to convert to float.
MAPCONV_API bool fits_header_float(double value);

// Reverses every 16-bit and 32-bit field of the HEADER_IMAGE_SIZE-byte image
// in place; bytes fields and holes stay as they are. Its own inverse.
MAPCONV_API void swap_header_image(std::uint8_t* image);

// Removes the image's alignment holes in place: afterwards its first 4096
// bytes are the format-3 header and its first 834 the format-1/2 header.
MAPCONV_API void compact_header_image(std::uint8_t* image);
