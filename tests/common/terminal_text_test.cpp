#include <gtest/gtest.h>
#include <mapconv/terminal_text.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>

namespace {

// What a print call wrote to a stream.
std::string written(const std::function<void(std::FILE*)>& print) {
  std::FILE* stream = std::tmpfile();
  print(stream);
  std::string text(static_cast<std::size_t>(std::ftell(stream)), '\0');
  std::rewind(stream);
  const std::size_t got = std::fread(text.data(), 1, text.size(), stream);
  std::fclose(stream);
  text.resize(got);
  return text;
}

TEST(TerminalText, ControlBytesAreEscapedAndNothingElse) {
  const struct {
    std::string name;
    std::string shown;
  } cases[] = {
      {"plain.dat", "plain.dat"},
      {"a\nb", "a\\nb"},
      {"\r\t\a\b\v\f", "\\r\\t\\a\\b\\v\\f"},
      {"\x1B]0;title\x07", "\\x1B]0;title\\a"},
      {"\x1B[2J\x01\x1F\x7F", "\\x1B[2J\\x01\\x1F\\x7F"},
      {"h\xC3\xB6he \xE6\x96\x87.dat", "h\xC3\xB6he \xE6\x96\x87.dat"},  // UTF-8 as it stands
      {"back\\slash \"quoted\" 100%", "back\\slash \"quoted\" 100%"},
      {"\xFF\xFE\x80 ~", "\xFF\xFE\\x80 ~"},
      // C1 controls, raw (0x9B is CSI to an 8-bit terminal) and as UTF-8.
      {"\x9B" "31m\x80\x9F\xA0", "\\x9B31m\\x80\\x9F\xA0"},
      {"\xC2\x9B" "2J \xC2\x80\xC2\x9F", "\\xC2\\x9B2J \\xC2\\x80\\xC2\\x9F"},
      // Whole characters pass, continuation bytes in 0x80..0x9F included.
      {"\xC2\xA0\xE2\x82\xAC\xED\x9F\xBF\xF0\x9D\x84\x9E\xF4\x8F\xBF\xBF",
       "\xC2\xA0\xE2\x82\xAC\xED\x9F\xBF\xF0\x9D\x84\x9E\xF4\x8F\xBF\xBF"},
      // Not well formed: cut short, overlong, a surrogate, a lead without continuation.
      {"\xE6\x96", "\xE6\\x96"},
      {"\xC0\x80\xED\xA0\x80\xC2\x7F", "\xC0\\x80\xED\xA0\\x80\xC2\\x7F"},
      {std::string(20000, 'n') + "\n", std::string(20000, 'n') + "\\n"},  // longer than one buffer
  };
  for (const auto& c : cases) {
    EXPECT_EQ(written([&](std::FILE* s) { u_write_escaped(s, c.name.c_str()); }), c.shown);
    EXPECT_EQ(written([&](std::FILE* s) { u_print_names(s, "[%s]\n", c.name.c_str()); }),
              "[" + c.shown + "]\n");
    std::string escaped(c.shown.size() + 1, '?');
    EXPECT_EQ(u_escape_text(c.name.c_str(), escaped.data(), escaped.size()), c.shown.size());
    EXPECT_EQ(escaped.c_str(), c.shown);
  }
}

TEST(TerminalText, EscapedTextIsCutBetweenWholeUnits) {
  const struct {
    const char* text;
    std::size_t size;
    const char* kept;
  } cases[] = {
      {"ab\ncd", 3, "ab"},           // an escape is never split
      {"ab\ncd", 4, "ab"},
      {"ab\ncd", 5, "ab\\n"},
      {"a\x1B", 5, "a"},             // \x1B takes four bytes
      {"a\x1B", 6, "a\\x1B"},
      {"\xC3\xA9x", 2, ""},          // a character is not split either
      {"\xC3\xA9x", 3, "\xC3\xA9"},
      {"a\nb", 1, ""},
  };
  for (const auto& c : cases) {
    char out[16];
    std::memset(out, '?', sizeof out);
    EXPECT_EQ(u_escape_text(c.text, out, c.size), std::strlen(c.kept)) << c.text << " in " << c.size;
    EXPECT_STREQ(out, c.kept);
    EXPECT_EQ(out[c.size], '?') << "wrote past the end";
  }
  char untouched = '?';
  EXPECT_EQ(u_escape_text("abc", &untouched, 0), 0u);
  EXPECT_EQ(untouched, '?');
}

TEST(TerminalText, MessagesKeepTheirNumbersAndPercents) {
  EXPECT_EQ(
      written([](std::FILE* s) { u_print_names(s, "%s: %d of %d, 100%%\n", "in\x1B.xdt", -7, 2147483647); }),
      "in\\x1B.xdt: -7 of 2147483647, 100%\n");
}

}  // namespace
