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

std::vector<std::string> Names(DIR *dir) {
  std::vector<std::string> names;
  while (dirent *entry = readdir(dir))
    if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0) names.emplace_back(entry->d_name);
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
