// Path policy and the relay's string forms: which relative paths are safe,
// how sources name their directories, and wide/narrow conversion.
#pragma once

#include <string>
#include <string_view>

// Relative, no empty, "." or ".." component, no NUL.
bool IsSafeRelativePath(std::string_view path);
// A safe relative path below "packages/".
bool IsSafePackagePath(std::string_view path);

// Bytes as the module widens them (sign-extended) come back unchanged; other
// characters become UTF-8.
std::string WideToNarrow(const wchar_t *text);
std::wstring NarrowToWide(std::string_view text);

// A source URL as an upstream directory: a path or a file:// URL. Throws the
// status that says why a source cannot be used.
std::string SourceDirectory(const wchar_t *url);
