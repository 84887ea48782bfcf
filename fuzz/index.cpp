// Index reader: any text parses or is refused with the relay's status, and
// an accepted index written out reads back to the same text.
#include <cstdlib>

#include "base/index.h"
#include "base/status.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string_view text(reinterpret_cast<const char *>(data), size);
  Index index;
  try {
    index = ParseIndex(std::string(text));
  } catch (const RelayError &error) {
    if (error.status != RELAY_BAD_INDEX && error.status != RELAY_UNSAFE_PACKAGE_PATH) abort();
    return 0;
  }
  std::string written = IndexToText(index);
  try {
    if (IndexToText(ParseIndex(written)) != written) abort();
  } catch (const RelayError &) {
    abort();
  }
  return 0;
}
