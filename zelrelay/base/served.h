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

#include <string>

#include "base/index.h"

// Writes the companions of the text that directory/name is about to hold.
void ServeCompanions(const std::string &directory, const std::string &name, const std::string &text);
// Puts the text in place with its companions, unless the file already holds
// exactly that (and its companions are there).
void ServeText(const std::string &directory, const std::string &name, const std::string &text);
// The repository's index, so.
void ServeIndex(const std::string &directory, const Index &index);

// The folder of the kept versions: private, never served.
inline constexpr const char *kHistoryDir = ".zelrelay.history";
inline constexpr const char *kPatchesDir = "patches";
