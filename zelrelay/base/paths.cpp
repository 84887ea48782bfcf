// Path policy: which relative paths an index may name.
#include "base/paths.h"

#include <string>

#include "zelrelay_shared.h"

bool IsSafeRelativePath(std::string_view path) {
  if (path.empty() || path.front() == '/' || path.find('\0') != std::string_view::npos) return false;
  size_t start = 0;
  for (;;) {
    size_t end = path.find('/', start);
    std::string_view part = path.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
    if (part.empty() || part == "." || part == "..") return false;
    if (end == std::string_view::npos) return true;
    start = end + 1;
  }
}

bool IsSafePackagePath(std::string_view path) {
  constexpr std::string_view kPrefix = ZELRELAY_PACKAGES_DIR "/";
  return path.substr(0, kPrefix.size()) == kPrefix && IsSafeRelativePath(path) && path.size() > kPrefix.size();
}
