// Joining path components for the updater: every component is kept whole and separated by
// the platform's separator, however long the result.
#pragma once

#include <string>

// first, then "/" and each further component up to a null pointer. The separator is always
// inserted ("a/" and "b" give "a//b"); a null first component counts as empty.
std::string BuildPath(const char* first, ...) __attribute__((sentinel));
