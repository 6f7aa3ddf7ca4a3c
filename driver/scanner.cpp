// The option scanner. It is our own rather than the C library's so that the
// parameter file (pass 2) is scanned by exactly the same rules as the
// command line, on every platform: options end at the first word that is not
// one, flags group (-qvR), an argument may be attached (-f12) or the next
// word (-f 12, even when that word starts with '-').
#include <cstdio>
#include <cstring>

#include "driver/driver.h"

namespace scanner {

int optind = 1;
int opterr = 1;
char* optarg = nullptr;
int position = 0;

void reset() {
  optind = 1;
  position = 0;
}

int getopt(int argc, char* const* argv, const char* optstring) {
  if (optind >= argc) return -1;
  const char* word = argv[optind];
  if (position == 0) {
    if (word[0] != '-') return -1;
    if (word[1] == '-') {  // "--" and anything after it: consumed, ends the scan
      ++optind;
      return -1;
    }
    if (word[1] == '\0') return -1;  // a lone "-" is an operand
  }

  ++position;
  const char c = word[position];
  const char* entry = c == ':' ? nullptr : std::strchr(optstring, c);
  if (entry == nullptr || c == '\0') {
    if (opterr) std::fprintf(stderr, "Unrecognised option -- %c\n", c);
    return '?';
  }

  if (entry[1] == ':') {
    const char* rest = word + position + 1;
    position = 0;
    ++optind;
    if (*rest != '\0') {
      optarg = const_cast<char*>(rest);
      return c;
    }
    if (optind >= argc) {
      if (opterr) std::fprintf(stderr, "Option requires an argument\n");
      return '?';
    }
    optarg = argv[optind++];
    return c;
  }

  if (word[position + 1] == '\0') {
    ++optind;
    position = 0;
  }
  optarg = nullptr;
  return c;
}

}  // namespace scanner
