// The texts a downstream fetches on every run (the index, merged.ini, the
// publisher's index a relay keeps) are served with what makes fetching them
// cheap: compressed copies, "NAME.zst" and "NAME.gz", and for each of the
// last versions, a patch from it straight to the current one,
// "patches/NAME/<SHA-256 of that version>.zst". The versions themselves are
// kept, compressed, in ".zelrelay.history/NAME/". docs/repository-format.md
// ("Index patches") describes the files.
//
// The companions are written before the text, each replaced in one rename,
// and what they say is checked by whoever takes them (their sizes and
// digests): a reader between two renames finds at worst an older copy or a
// patch to an older version, and fetches the text itself.
#pragma once

#include <memory>
#include <string>

#include "base/files.h"
#include "base/index.h"

// A served text written out as it is made, never whole in memory: it goes
// on to the file's replacement (FileReplacement), and once it differs from
// what the file holds, every byte of it is summed and compressed into the
// copies, which grow beside NAME.zst and NAME.gz. An unchanged text is only
// compared. Nothing shows before Commit; a file not committed leaves the
// directory as it was.
class ServedFile final : public TextOut {
 public:
  ServedFile(const std::string &directory, const std::string &name);
  ~ServedFile();
  // Puts the companions in place and then the text, unless the file
  // already holds exactly the text and its compressed copy is there. Only
  // then are the kept versions read, to make the patches.
  void Commit();

 private:
  struct Copies;
  void Take() override;
  void Made(std::string_view piece);
  std::string directory_, name_;
  std::unique_ptr<Copies> copies_;  // from the first byte that differs
  FileReplacement file_;            // last: it tells Made from its construction on
};

// The same for a text made whole, by the small callers.
void ServeText(const std::string &directory, const std::string &name, const std::string &text);
// The repository's index, so.
void ServeIndex(const std::string &directory, const IndexSource &index);

// The folder of the kept versions: private, never served.
inline constexpr const char *kHistoryDir = ".zelrelay.history";
inline constexpr const char *kPatchesDir = "patches";
