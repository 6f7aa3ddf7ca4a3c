// What the companion tools share: numbered file names and writing an output
// file whole or not at all.
#pragma once

#include <string>

namespace tools {

// Writes the bytes to a temporary file beside `path` ("<path>.partial.<pid>")
// and renames it into place, so that a failed or interrupted run leaves no
// half-written file under that name. On failure, *error says what and why.
bool writeAtomically(const std::string& path, const std::string& bytes, std::string* error);

// `pattern` formatted with `number`. The pattern must have passed korvan's
// pattern rule (checkFilePattern): one integer conversion.
std::string numberedFile(const std::string& pattern, int number);

}  // namespace tools
