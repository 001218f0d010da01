#include <mapconv/terminal_text.h>

#include <cstdarg>
#include <cstring>

#include "retrying_io.h"

namespace {

// Gathers a message on the stack and hands it to the stream in one write, so
// that the lines of runs sharing a terminal or log do not interleave.
class MessageBuffer {
 public:
  explicit MessageBuffer(std::FILE* stream) : stream_(stream) {}
  ~MessageBuffer() { flush(); }
  MessageBuffer(const MessageBuffer&) = delete;
  MessageBuffer& operator=(const MessageBuffer&) = delete;

  void put(char byte) {
    if (length_ == sizeof bytes_) flush();
    bytes_[length_++] = byte;
  }
  void put(const char* text, std::size_t length) {
    for (std::size_t i = 0; i < length; ++i) put(text[i]);
  }
  void put_escaped(const char* text);

 private:
  void flush() {
    if (length_ > 0) write_retrying(stream_, bytes_, length_);
    length_ = 0;
  }

  std::FILE* stream_;
  char bytes_[8192];
  std::size_t length_ = 0;
};

// C0, DEL and C1: a terminal in an 8-bit mode takes 0x9B alone as CSI.
bool is_control(unsigned char byte) { return byte < 0x20 || byte == 0x7F || (byte >= 0x80 && byte <= 0x9F); }

// The length of the well-formed UTF-8 sequence at text, whose first byte is
// 0x80 or above, or 0 when none starts there (stray, overlong, surrogate or
// cut short). Stops at the terminating NUL, which is no continuation byte.
std::size_t utf8_length(const unsigned char* text) {
  const unsigned char lead = text[0];
  std::size_t length = 0;
  unsigned char low = 0x80;  // the bounds of the second byte
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (text[1] < low || text[1] > high) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if (text[i] < 0x80 || text[i] > 0xBF) return 0;
  }
  return length;
}

// The letter of a control byte's C escape, or 0 when it has none.
char escape_letter(unsigned char byte) {
  constexpr const char* letters = "\aa\bb\tt\nn\vv\ff\rr";
  for (const char* entry = letters; *entry != '\0'; entry += 2) {
    if (static_cast<unsigned char>(entry[0]) == byte) return entry[1];
  }
  return 0;
}

// Hands text to put (a callable taking bytes and their count) with its
// control bytes escaped, one unit at a time: a character or an escape.
template <typename Put>
void escape_each(const char* text, Put&& put) {
  constexpr const char* digits = "0123456789ABCDEF";
  const auto put_hex = [&](unsigned char byte) {
    const char escaped[] = {'\\', 'x', digits[byte >> 4], digits[byte & 0xF]};
    put(escaped, sizeof escaped);
  };
  for (const auto* byte = reinterpret_cast<const unsigned char*>(text); *byte != 0;) {
    if (*byte >= 0x80) {
      // Whole UTF-8 characters pass as they are, but for U+0080 to U+009F
      // (C2 80 to C2 9F), which a UTF-8 terminal takes as C1 controls.
      const std::size_t length = utf8_length(byte);
      if (length == 2 && byte[0] == 0xC2 && byte[1] <= 0x9F) {
        put_hex(byte[0]);
        put_hex(byte[1]);
        byte += 2;
        continue;
      }
      if (length > 0) {
        put(reinterpret_cast<const char*>(byte), length);
        byte += length;
        continue;
      }
    }
    if (!is_control(*byte)) {
      put(reinterpret_cast<const char*>(byte), 1);
    } else if (const char letter = escape_letter(*byte); letter != 0) {
      const char escaped[] = {'\\', letter};
      put(escaped, sizeof escaped);
    } else {
      put_hex(*byte);
    }
    ++byte;
  }
}

void MessageBuffer::put_escaped(const char* text) {
  escape_each(text, [this](const char* unit, std::size_t length) { put(unit, length); });
}

}  // namespace

void u_write_escaped(std::FILE* stream, const char* text) {
  MessageBuffer message(stream);
  message.put_escaped(text);
}

std::size_t u_escape_text(const char* text, char* out, std::size_t size) {
  std::size_t used = 0;
  bool fits = true;
  escape_each(text, [&](const char* unit, std::size_t length) {
    // Once a unit does not fit, none after it is taken: the text is cut
    // between units, never inside an escape or a character.
    fits = fits && size > 0 && used + length < size;
    if (fits) std::memcpy(out + used, unit, length);
    if (fits) used += length;
  });
  if (size > 0) out[used] = '\0';
  return used;
}

void u_print_names(std::FILE* stream, const char* format, ...) {
  MessageBuffer message(stream);
  std::va_list arguments;
  va_start(arguments, format);
  for (const char* at = format; *at != '\0';) {
    if (at[0] == '%' && at[1] == 's') {
      message.put_escaped(va_arg(arguments, const char*));
      at += 2;
    } else if (at[0] == '%' && at[1] == 'd') {
      char number[16];
      const int length = std::snprintf(number, sizeof number, "%d", va_arg(arguments, int));
      message.put(number, static_cast<std::size_t>(length));
      at += 2;
    } else if (at[0] == '%' && at[1] == '%') {
      message.put('%');
      at += 2;
    } else {
      // Any other character, an unknown conversion included, stands as it is.
      message.put(*at++);
    }
  }
  va_end(arguments);
}
