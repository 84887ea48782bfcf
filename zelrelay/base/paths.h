// Path policy: which relative paths an index may name.
#pragma once

#include <string_view>

// Relative, no empty, "." or ".." component, no NUL.
bool IsSafeRelativePath(std::string_view path);
// A safe relative path below "packages/".
bool IsSafePackagePath(std::string_view path);
