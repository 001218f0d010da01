#include <mapconv/terminal_text.h>

#include <cstdarg>
#include <cstring>

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
    if (length_ > 0) std::fwrite(bytes_, 1, length_, stream_);
    length_ = 0;
  }

  std::FILE* stream_;
  char bytes_[8192];
  std::size_t length_ = 0;
};

bool is_control(unsigned char byte) { return byte < 0x20 || byte == 0x7F; }

// The letter of a control byte's C escape, or 0 when it has none.
char escape_letter(unsigned char byte) {
  constexpr const char* letters = "\aa\bb\tt\nn\vv\ff\rr";
  for (const char* entry = letters; *entry != '\0'; entry += 2) {
    if (static_cast<unsigned char>(entry[0]) == byte) return entry[1];
  }
  return 0;
}

void MessageBuffer::put_escaped(const char* text) {
  for (const auto* byte = reinterpret_cast<const unsigned char*>(text); *byte != 0; ++byte) {
    if (!is_control(*byte)) {
      put(static_cast<char>(*byte));
    } else if (const char letter = escape_letter(*byte); letter != 0) {
      put('\\');
      put(letter);
    } else {
      constexpr const char* digits = "0123456789ABCDEF";
      const char escaped[] = {'\\', 'x', digits[*byte >> 4], digits[*byte & 0xF]};
      put(escaped, sizeof escaped);
    }
  }
}

}  // namespace

void u_write_escaped(std::FILE* stream, const char* text) {
  MessageBuffer message(stream);
  message.put_escaped(text);
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
