// The names in a directory.
#include "base/listing.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <memory>

#include "base/status.h"

namespace {

using Stream = std::unique_ptr<DIR, int (*)(DIR *)>;

void EachName(DIR *dir, const std::function<void(std::string_view)> &each) {
  while (dirent *entry = readdir(dir))
    if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0) each(entry->d_name);
}

std::vector<std::string> Names(DIR *dir) {
  std::vector<std::string> names;
  EachName(dir, [&](std::string_view name) { names.emplace_back(name); });
  return names;
}

}  // namespace

std::vector<std::string> ListDirectory(int directory) {
  int copy = fcntl(directory, F_DUPFD_CLOEXEC, 0);
  if (copy < 0) Fail(RELAY_IO_ERROR);
  Stream dir(fdopendir(copy), closedir);
  if (!dir) {
    close(copy);
    Fail(RELAY_IO_ERROR);
  }
  rewinddir(dir.get());  // the copy shares its position with earlier readers
  return Names(dir.get());
}

std::vector<std::string> ListDirectory(const std::string &path) {
  Stream dir(opendir(path.c_str()), closedir);
  return dir ? Names(dir.get()) : std::vector<std::string>{};
}

void ForEachName(const std::string &path, const std::function<void(std::string_view)> &each) {
  Stream dir(opendir(path.c_str()), closedir);
  if (dir) EachName(dir.get(), each);
}
