// Small file-system helpers shared by the configuration and the cache store.
// Paths are narrow strings; the separator is the platform's.
#pragma once

#include <string>

// The user's profile folder. Returns false (leaving `homeDir` unchanged) when it
// cannot be found. A null `homeDir` throws InvalidArgumentException.
bool getHomeDirectory(std::string* homeDir);

// Joins two path pieces with exactly one separator between them:
//   both empty        -> "."
//   a empty           -> b without one leading and one trailing separator
//   b empty           -> a unchanged
//   otherwise         -> a, a separator unless a ends with one, then b
//                        without one leading and one trailing separator
std::string joinPath(const std::string& a, const std::string& b);

// `path` with a trailing separator, added only when missing (an empty path
// stays empty).
std::string withTrailingSeparator(const std::string& path);
