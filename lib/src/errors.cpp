#include <mapconv/errors.h>

#include <cstdio>

const char* const error_names[ERROR_CODE_MAX + 1] = {"",
#define MAPCONV_ERROR_NAME(number, name) #name,
                                                     MAPCONV_ERROR_LIST(MAPCONV_ERROR_NAME)
#undef MAPCONV_ERROR_NAME
};

namespace {

// The list must run 1, 2, 3, ... with no gap, so a name's index is its number.
constexpr bool numbers_are_dense() {
  ErrorCode expected = 1;
  bool dense = true;
#define MAPCONV_CHECK_NUMBER(number, name) dense = dense && (number) == expected++;
  MAPCONV_ERROR_LIST(MAPCONV_CHECK_NUMBER)
#undef MAPCONV_CHECK_NUMBER
  return dense && expected == ERROR_CODE_MAX + 1;
}
static_assert(numbers_are_dense(), "error codes must run from 1 to ERROR_CODE_MAX without gaps");

char result_buffer[512];

}  // namespace

const char* u_error_string(ErrorCode code) {
  if (code == NO_ERROR) {
    std::snprintf(result_buffer, sizeof result_buffer, "NO_ERROR");
  } else if (code < 1 || code > ERROR_CODE_MAX) {
    std::snprintf(result_buffer, sizeof result_buffer, "invalid error number %d", static_cast<int>(code));
  } else {
    std::snprintf(result_buffer, sizeof result_buffer, "%s", error_names[code]);
  }
  return result_buffer;
}

bool error_has_system_reason(ErrorCode code) {
  return code == ERR_CANT_OPEN_FILE || code == ERR_CANT_READ_FILE || code == ERR_CANT_CREATE_FILE ||
         code == ERR_CANT_WRITE_FILE;
}
