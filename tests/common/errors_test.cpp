#include <gtest/gtest.h>
#include <mapconv/errors.h>

#include <climits>
#include <string>

TEST(ErrorCatalogue, NamesMatchTheirNumbers) {
  EXPECT_STREQ(error_names[0], "");
  EXPECT_STREQ(error_names[ERR_AC_CANT_AGC], "ERR_AC_CANT_AGC");
  EXPECT_STREQ(error_names[ERR_NO_MEM], "ERR_NO_MEM");
  EXPECT_EQ(ERR_NO_MEM, 320);
  EXPECT_EQ(ERR_CANT_CREATE_FILE, 116);
  EXPECT_EQ(ERR_CANT_OPEN_FILE, 120);
  EXPECT_EQ(ERR_CANT_WRITE_FILE, 125);
  EXPECT_EQ(ERR_INVALID_PARAM, 242);
  EXPECT_EQ(ERR_NOT_A_DATA_FILE, 328);
  EXPECT_EQ(ERR_PARAM_OUT_OF_RANGE, 333);
  EXPECT_EQ(ERR_PREMATURE_EOF, 353);
  EXPECT_STREQ(error_names[309], "ERR_MOTORIZED_OR_ENCODED_TURRET_NOT_AVAILABLE");
  EXPECT_STREQ(error_names[ERROR_CODE_MAX], "ERR_INTERRUPTED");
}

TEST(ErrorCatalogue, ErrorStringCoversEveryInteger) {
  struct Case {
    ErrorCode code;
    const char* text;
  };
  const Case cases[] = {
      {0, "NO_ERROR"},
      {1, "ERR_AC_CANT_AGC"},
      {462, "ERR_ZOOM_TIMEOUT"},
      {463, "ERR_INTERRUPTED"},
      {464, "invalid error number 464"},
      {-1, "invalid error number -1"},
      {INT_MIN, "invalid error number -2147483648"},
      {INT_MAX, "invalid error number 2147483647"},
  };
  for (const Case& c : cases) EXPECT_STREQ(u_error_string(c.code), c.text) << c.code;
}

TEST(ErrorCatalogue, ErrorStringReusesOneBuffer) {
  const char* first = u_error_string(ERR_NO_MEM);
  EXPECT_STREQ(first, "ERR_NO_MEM");
  const char* second = u_error_string(ERR_CANT_CREATE_FILE);
  EXPECT_EQ(first, second);
  EXPECT_STREQ(first, "ERR_CANT_CREATE_FILE");
}

TEST(ErrorCatalogue, EveryNameIsAnUpperCaseIdentifierOfAtMost45Characters) {
  for (ErrorCode code = 1; code <= ERROR_CODE_MAX; ++code) {
    const std::string name = error_names[code];
    EXPECT_EQ(name.rfind("ERR_", 0), 0u) << code;
    EXPECT_LE(name.size(), 45u) << code;
    EXPECT_EQ(name.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_"), std::string::npos) << code;
  }
}
