#pragma once
// Joins path components with "/".

#include <string>

// Returns `first` followed, for each further argument up to a null pointer, by "/" and that
// argument. Components are joined as they are: nothing is trimmed and separators are not
// merged. A null `first` gives an empty text.
std::string BuildPath(const char* first, ...) __attribute__((sentinel));
