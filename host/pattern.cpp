// The one rule for file-name patterns (projection series, slice files),
// shared by korvan and its companion tools: a pattern is formatted with one
// int, the file or slice number, so it must hold exactly one integer
// conversion. Anything else would make the formatting read arguments that do
// not exist.
#include <cctype>
#include <cstring>
#include <string>

#include "host/host.h"

namespace {

// Digits of a width or a precision; three are plenty for a file name, and
// more could only make names longer than any path.
constexpr int kMostDigits = 3;

// Skips at most kMostDigits digits; false when there are more.
bool skipDigits(const char*& s) {
  int digits = 0;
  while (std::isdigit(static_cast<unsigned char>(*s))) ++s, ++digits;
  return digits <= kMostDigits;
}

}  // namespace

bool checkFilePattern(const char* pattern, std::string* why) {
  int conversions = 0;
  for (const char* s = pattern; *s != '\0'; ++s) {
    if (*s != '%') continue;
    const char* start = s++;
    if (*s == '%') continue;
    // Flags, width and precision as printf takes them for an int
    // (%d, %04d, %.3d, %-5i); no length modifier, no '*'.
    while (*s != '\0' && std::strchr("-+ #0", *s) != nullptr) ++s;
    bool usable = skipDigits(s);
    if (*s == '.') usable = skipDigits(++s) && usable;
    if (!usable || *s == '\0' || std::strchr("diuoxX", *s) == nullptr) {
      if (why) {
        const size_t length = *s == '\0' ? s - start : s - start + 1;
        *why = "holds the conversion '" + std::string(start, length) +
               "'; only one integer conversion such as %d, %04d or %.3d is allowed";
      }
      return false;
    }
    ++conversions;
  }
  if (conversions != 1) {
    if (why)
      *why = "must hold exactly one integer conversion such as %d (it holds " + std::to_string(conversions) + ")";
    return false;
  }
  return true;
}
