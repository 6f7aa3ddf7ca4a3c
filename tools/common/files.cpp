#include "tools/common/files.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace tools {

bool writeAtomically(const std::string& path, const std::string& bytes, std::string* error) {
  const std::string temporary = path + ".partial." + std::to_string(getpid());
  FILE* file = std::fopen(temporary.c_str(), "wb");
  if (!file) {
    *error = "cannot create " + temporary + ": " + std::strerror(errno);
    return false;
  }
  // The first failure's errno is the one reported.
  bool ok = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  int savedErrno = errno;
  if (std::fclose(file) != 0 && ok) {
    ok = false;
    savedErrno = errno;
  }
  if (ok && std::rename(temporary.c_str(), path.c_str()) != 0) {
    ok = false;
    savedErrno = errno;
  }
  if (!ok) {
    std::remove(temporary.c_str());
    *error = "cannot write " + path + ": " + std::strerror(savedErrno);
  }
  return ok;
}

std::string numberedFile(const std::string& pattern, int number) {
  char name[4096];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  std::snprintf(name, sizeof name, pattern.c_str(), number);
#pragma GCC diagnostic pop
  return name;
}

}  // namespace tools
