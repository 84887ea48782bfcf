// Line patches between two versions of a text: what a downstream that holds
// one version of an index fetches instead of the whole of the next. A patch
// names the text it applies to and the text it makes, each by SHA-256 and
// size, so that whoever applies it knows whether the result is the one
// meant (docs/repository-format.md, "Index patches").
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

struct PatchEnds {
  std::string fromSha256, toSha256;  // lower-case hex
  uint64_t fromSize = 0, toSize = 0;
};

// The patch from one text to another, uncompressed; nullopt where a line
// patch cannot say it (a text that does not end in a line feed).
std::optional<std::string> MakePatch(std::string_view from, std::string_view to);
// What a patch says it joins; nullopt for what is not a patch.
std::optional<PatchEnds> ReadPatchEnds(std::string_view patch);
// The text the patch makes of from, whose SHA-256 the caller knows, when
// from is the text the patch names and the result is exactly the one it
// names; else nullopt.
std::optional<std::string> ApplyPatch(std::string_view from, std::string_view fromSha256, std::string_view patch);
