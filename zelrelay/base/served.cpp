// Texts served with compressed copies and patches.
#include "base/served.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <vector>

#include "base/compression.h"
#include "base/digest.h"
#include "base/environment.h"
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

// Keeps a version as the newest: renamed when it was kept already (a text
// served again), else written to the path given.
void Keep(const std::string &folder, const std::string &sha256, const std::function<void(const std::string &)> &write) {
  std::vector<Version> versions = Versions(folder);
  Version newest{versions.empty() ? 1 : versions.front().sequence + 1, sha256};
  for (const Version &v : versions)
    if (v.sha256 == sha256) {
      if (&v != &versions.front()) Rename(JoinPath(folder, v.File()), JoinPath(folder, newest.File()));
      return;
    }
  write(JoinPath(folder, newest.File()));
}

// Reads a file in pieces; throws RELAY_IO_ERROR when it cannot.
void EachPiece(const std::string &path, const std::function<void(std::string_view)> &take) {
  FileDescriptor file{open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)};
  if (file.fd < 0) Fail(RELAY_IO_ERROR);
  ReadRange(file.fd, 0, UINT64_MAX, [&](const char *data, size_t size) { take({data, size}); });
}

void CompressFile(const std::string &from, const std::string &to) {
  TempFile out = CreateTempFile(to);
  CompressingStream zst(CompressingStream::Format::Zstd, out.file.fd);
  EachPiece(from, [&](std::string_view piece) { zst.Add(piece); });
  zst.End();
  RenameTempFile(out);
}

// The compressed copy just put in place is the version as kept: one more
// name for it, which its replacement by a later copy leaves alone.
void LinkOrCopy(const std::string &from, const std::string &to) {
  if (link(from.c_str(), to.c_str()) == 0) return;
  if (std::optional<std::string> bytes = ReadWholeFile(from)) WriteFileUnsynced(to, *bytes);
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

// Keeps the text served now and the new one, whose compressed copy is in
// place, as the newest versions, and writes a patch from each older one to
// the new text. A first text has no older ones: it is not read back.
void KeepVersions(const std::string &directory, const std::string &name, const std::string &current) {
  int64_t keep = PatchVersions();
  if (keep <= 0) return;
  std::string target = JoinPath(directory, name), zst = target + std::string(kZst);
  std::string history = JoinPath(JoinPath(directory, kHistoryDir), name);
  std::string patches = JoinPath(JoinPath(directory, kPatchesDir), name);
  MakeFolders(directory, name);
  // What is served now joins the history even when it was not written
  // here: the module's clean-up rewrites the index.
  if (IsRegularFile(target))
    if (std::string served = Sha256OfFile(target); served != current)
      Keep(history, served, [&](const std::string &path) { CompressFile(target, path); });
  Keep(history, current, [&](const std::string &path) { LinkOrCopy(zst, path); });
  std::vector<Version> versions = Versions(history);
  for (size_t i = size_t(keep); i < versions.size(); ++i) RemoveFile(JoinPath(history, versions[i].File()));
  versions.resize(std::min(versions.size(), size_t(keep)));
  std::optional<std::string> text;
  for (const Version &v : versions) {
    if (v.sha256 == current) continue;
    if (!text) {
      std::optional<std::string> compressed = ReadWholeFile(zst);
      if (compressed) text = ZstdDecompress(*compressed, kIndexLimit);
      if (!text) break;
    }
    WritePatch(history, patches, v, *text);
  }
  // Patches from versions no longer kept, or to the text itself, go.
  for (const std::string &file : ListDirectory(patches)) {
    std::string_view sha256 = std::string_view(file).substr(0, file.size() - std::min(file.size(), kZst.size()));
    bool wanted = sha256 != current && std::any_of(versions.begin(), versions.end(),
                                                   [&](const Version &v) { return v.sha256 == sha256; });
    if (!wanted) RemoveFile(JoinPath(patches, file));
  }
}

}  // namespace

// The text's digest and compressed copies, made as the text is written.
struct ServedFile::Copies {
  explicit Copies(const std::string &target)
      : zstFile(CreateTempFile(target + std::string(kZst))),
        gzFile(CreateTempFile(target + ".gz")),
        zst(CompressingStream::Format::Zstd, zstFile.file.fd),
        gz(CompressingStream::Format::Gzip, gzFile.file.fd) {}
  Sha256 sha256 = StartSha256();
  TempFile zstFile, gzFile;
  CompressingStream zst, gz;  // after the files they write to
};

ServedFile::ServedFile(const std::string &directory, const std::string &name)
    : directory_(directory),
      name_(name),
      file_(JoinPath(directory, name), [this](std::string_view piece) { Made(piece); }) {}

ServedFile::~ServedFile() = default;

void ServedFile::Made(std::string_view piece) {
  if (!copies_) copies_ = std::make_unique<Copies>(JoinPath(directory_, name_));
  UpdateSha256(copies_->sha256, piece.data(), piece.size());
  copies_->zst.Add(piece);
  copies_->gz.Add(piece);
}

void ServedFile::Take() {
  if (file_.text.empty()) file_.text.swap(text);
  else file_.text += text;
  text.clear();
  file_.Spill();
}

void ServedFile::Commit() {
  Take();
  std::string target = JoinPath(directory_, name_);
  bool changed = file_.Changed();
  if (!changed) {
    if (Exists(target + std::string(kZst))) return;
    // The file holds exactly the text: its copies are made of it.
    EachPiece(target, [&](std::string_view piece) { Made(piece); });
  }
  if (!copies_) Made({});  // an empty text
  copies_->zst.End();
  copies_->gz.End();
  std::string current = FinishSha256(copies_->sha256);
  // Unsynced: what a crash leaves of a companion fails its reader's check.
  RenameTempFile(copies_->zstFile);
  RenameTempFile(copies_->gzFile);
  KeepVersions(directory_, name_, current);
  if (changed) file_.Commit();
}

void ServeText(const std::string &directory, const std::string &name, const std::string &text) {
  ServedFile file(directory, name);
  for (size_t at = 0; at < text.size(); at += kCopyChunk) {
    file.text.append(text, at, kCopyChunk);
    file.Spill();
  }
  file.Commit();
}

void ServeIndex(const std::string &directory, const IndexSource &index) {
  ServedFile file(directory, ZELRELAY_INDEX_FILE);
  WriteIndexText(file, index);
  file.Commit();
}
