// Inside vff/, and driven directly by the tests: the header key lookup.
#pragma once

#include "vff/vff.h"

// Looks `key` (which includes its '=') up by plain substring search from the
// start of the header: the first occurrence wins wherever it stands. When
// found, copies the text after the first '=' up to the next ';' (or the end)
// into `value` (at least kVffHeaderSize characters) and returns true.
bool getHeaderValue(char* value, const char* header, const char* key);
