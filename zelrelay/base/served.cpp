// Texts served with compressed copies and patches.
#include "base/served.h"

#include <algorithm>
#include <vector>

#include "base/compression.h"
#include "base/digest.h"
#include "base/environment.h"
#include "base/files.h"
#include "base/listing.h"
#include "base/patch.h"
#include "base/text.h"

namespace {

constexpr std::string_view kZst = ".zst";

// A kept version is "<sequence>.<SHA-256>.zst", the sequence counting the
// versions kept, so the newest are known whatever the clock says.
struct Version {
  uint64_t sequence;
  std::string sha256;
  std::string File() const { return std::to_string(sequence) + "." + sha256 + std::string(kZst); }
};

// The versions kept in a folder of the history, newest first.
std::vector<Version> Versions(const std::string &folder) {
  std::vector<Version> versions;
  for (std::string_view file : ListDirectory(folder)) {
    size_t dot = file.find('.');
    if (!file.ends_with(kZst) || dot == std::string_view::npos) continue;
    std::optional<uint64_t> sequence = ParseWhole(file.substr(0, dot));
    std::string_view sha256 = file.substr(dot + 1, file.size() - dot - 1 - kZst.size());
    if (sequence && IsSha256Hex(sha256)) versions.push_back({*sequence, std::string(sha256)});
  }
  std::sort(versions.begin(), versions.end(), [](const Version &a, const Version &b) {
    return a.sequence > b.sequence;
  });
  return versions;
}

// Keeps a version as the newest: written when new, renamed when it was kept
// already (a text served again).
void Keep(const std::string &folder, const std::string &sha256, std::string_view text) {
  std::vector<Version> versions = Versions(folder);
  Version newest{versions.empty() ? 1 : versions.front().sequence + 1, sha256};
  for (const Version &v : versions)
    if (v.sha256 == sha256) {
      if (&v != &versions.front()) Rename(JoinPath(folder, v.File()), JoinPath(folder, newest.File()));
      return;
    }
  WriteFileUnsynced(JoinPath(folder, newest.File()), ZstdCompress(text));
}

std::string Sha256Of(std::string_view text) { return Sha256OfBytes(text.data(), text.size()); }

// A patch from one kept version to the text, unless that version does not
// read back as itself (then it is dropped), or a patch would say more than
// the text itself.
void WritePatch(const std::string &history, const std::string &patches, const Version &version,
                std::string_view text) {
  std::string kept = JoinPath(history, version.File());
  std::optional<std::string> compressed = ReadWholeFile(kept);
  std::optional<std::string> old = compressed ? ZstdDecompress(*compressed, kIndexLimit) : std::nullopt;
  if (!old || Sha256Of(*old) != version.sha256) {
    RemoveFile(kept);
    return;
  }
  std::optional<std::string> patch = MakePatch(*old, text);
  if (!patch) return;
  std::string small = ZstdCompress(*patch);
  std::string path = JoinPath(patches, version.sha256 + std::string(kZst));
  if (small.size() < text.size() && !FileHolds(path, small)) WriteFileUnsynced(path, small);
}

void MakeFolders(const std::string &directory, const std::string &name) {
  for (const char *top : {kHistoryDir, kPatchesDir}) {
    MakeDirectory(JoinPath(directory, top));
    MakeDirectory(JoinPath(JoinPath(directory, top), name));
  }
}

}  // namespace

void ServeCompanions(const std::string &directory, const std::string &name, const std::string &text) {
  std::string target = JoinPath(directory, name), zst = ZstdCompress(text);
  int64_t keep = PatchVersions();
  std::string history = JoinPath(JoinPath(directory, kHistoryDir), name);
  std::string patches = JoinPath(JoinPath(directory, kPatchesDir), name);
  if (keep > 0) {
    MakeFolders(directory, name);
    // What is served now joins the history even when it was not written
    // here: the module's clean-up rewrites the index.
    if (std::optional<std::string> served = ReadWholeFile(target)) Keep(history, Sha256Of(*served), *served);
    std::string current = Sha256Of(text);
    Keep(history, current, text);
    std::vector<Version> versions = Versions(history);
    for (size_t i = size_t(keep); i < versions.size(); ++i) RemoveFile(JoinPath(history, versions[i].File()));
    versions.resize(std::min(versions.size(), size_t(keep)));
    for (const Version &v : versions)
      if (v.sha256 != current) WritePatch(history, patches, v, text);
    // Patches from versions no longer kept, or to the text itself, go.
    for (const std::string &file : ListDirectory(patches)) {
      std::string_view sha256 = std::string_view(file).substr(0, file.size() - std::min(file.size(), kZst.size()));
      bool wanted = sha256 != current && std::any_of(versions.begin(), versions.end(),
                                                     [&](const Version &v) { return v.sha256 == sha256; });
      if (!wanted) RemoveFile(JoinPath(patches, file));
    }
  }
  // Unsynced: what a crash leaves of a companion fails its reader's check.
  if (!FileHolds(target + ".zst", zst)) WriteFileUnsynced(target + ".zst", zst);
  if (std::string gz = GzipCompress(text); !FileHolds(target + ".gz", gz)) WriteFileUnsynced(target + ".gz", gz);
}

void ServeText(const std::string &directory, const std::string &name, const std::string &text) {
  std::string target = JoinPath(directory, name);
  if (FileHolds(target, text) && Exists(target + ".zst")) return;
  ServeCompanions(directory, name, text);
  WriteFileAtomically(target, text);
}

void ServeIndex(const std::string &directory, const Index &index) {
  ServeText(directory, ZELRELAY_INDEX_FILE, IndexToText(index));
}
