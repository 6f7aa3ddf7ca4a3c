// What the companion tools share: writing an output file whole or not at all.
#pragma once

#include <string>

namespace tools {

// Writes the bytes to a temporary file beside `path` ("<path>.partial.<pid>")
// and renames it into place, so that a failed or interrupted run leaves no
// half-written file under that name. On failure, *error says what and why.
bool writeAtomically(const std::string& path, const std::string& bytes, std::string* error);

}  // namespace tools
