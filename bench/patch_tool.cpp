// Changes an upstream the way a publisher does, for the index-transfer
// benchmark: serves its index as every writer does (compressed copies and
// patches from the versions kept), or rebuilds k of its packages with new
// bytes under the same identifiers and serves the new index.
//   patch_tool serve DIR
//   patch_tool change DIR K SEED
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "base/digest.h"
#include "base/files.h"
#include "base/index.h"
#include "base/served.h"
#include "base/status.h"

namespace {

void Change(const std::string &dir, Index &index, size_t count, unsigned seed) {
  std::mt19937 random(seed);
  for (size_t i = 0; i < count && !index.components.empty(); ++i) {
    ComponentEntry &c = index.components[random() % index.components.size()];
    std::string path = JoinPath(dir, c.path), bytes = *ReadWholeFile(path);
    bytes.back() = char(bytes.back() ^ 1);  // other bytes of the same size: all the relay checks
    WriteFileAtomically(path, bytes);
    c.sha256 = index.Keep(Sha256OfBytes(bytes.data(), bytes.size()));
  }
}

}  // namespace

int main(int argc, char **argv) {
  std::string verb = argc > 2 ? argv[1] : "";
  if (!(verb == "serve" && argc == 3) && !(verb == "change" && argc == 5)) {
    std::fprintf(stderr, "usage: patch_tool serve DIR | patch_tool change DIR K SEED\n");
    return 2;
  }
  try {
    Index index = *ReadIndex(argv[2]);
    if (verb == "change") Change(argv[2], index, std::strtoul(argv[3], nullptr, 10), unsigned(std::atoi(argv[4])));
    ServeIndex(argv[2], IndexRecords(index));
  } catch (const RelayError &e) {
    std::fprintf(stderr, "patch_tool: status %d\n", int(e.status));
    return 1;
  }
  return 0;
}
