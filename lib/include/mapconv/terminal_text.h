// Names on the terminal. A file name may hold any byte but '/' and NUL;
// printed raw, control bytes in it could move the cursor, recolour or clear
// the screen, set a window title or forge a line of a log. Messages that
// name files escape those bytes and print every other byte as it stands, so
// ordinary names, UTF-8 ones included, keep their exact bytes.
#pragma once

#include <mapconv/api.h>
#include <mapconv/print.h>

#include <cstddef>
#include <cstdio>

// Writes text with its control bytes escaped: \a \b \t \n \v \f \r as
// such, the others as \xHH (\x1B for escape). Control bytes are those below
// 0x20, 0x7F, and the C1 controls: 0x80 to 0x9F standing alone, and U+0080
// to U+009F in UTF-8 (C2 80 to C2 9F, both bytes as \xHH). Any other
// well-formed UTF-8 character passes whole, whatever its bytes.
MAPCONV_API void u_write_escaped(std::FILE* stream, const char* text);

// Writes text escaped as above into out, NUL-ended, for a message built
// before it is printed. A text too long for size is cut between whole
// characters or escapes. Returns the bytes written before the NUL.
MAPCONV_API std::size_t u_escape_text(const char* text, char* out, std::size_t size);

// fprintf for messages that name files, with %s, %d and %% only: every %s
// argument is written escaped as above. Needs no memory.
MAPCONV_API void u_print_names(std::FILE* stream, const char* format, ...) MAPCONV_PRINTF(2, 3);
