// Line patches between versions of a text.
//
// After the three lines of its ends, a patch is a run of hunks in the order
// of the lines they change, each "@START,DELETED,INSERTED" (START counting
// the old text's lines from 0) followed by the INSERTED lines: the lines
// before START are taken as they are, DELETED lines are dropped there, and
// the lines that follow in the patch are put in their place.
#include "base/patch.h"

#include <dtl/dtl.hpp>

#include <algorithm>
#include <cstring>
#include <vector>

#include "base/digest.h"
#include "base/text.h"

namespace {

constexpr std::string_view kMagic = "zelrelay patch 1\n";

// Each line with its line feed.
std::vector<std::string_view> Lines(std::string_view text) {
  std::vector<std::string_view> lines;
  lines.reserve(size_t(std::count(text.begin(), text.end(), '\n')));
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find('\n', start);
    end = end == std::string_view::npos ? text.size() : end + 1;
    lines.push_back(text.substr(start, end - start));
    start = end;
  }
  return lines;
}

std::string Ends(std::string_view name, std::string_view text) {
  return std::string(name) + " " + Sha256OfBytes(text.data(), text.size()) + " " + std::to_string(text.size()) + "\n";
}

struct Hunk {
  size_t start = 0, deleted = 0;
  std::vector<std::string_view> inserted;
  bool Open() const { return deleted > 0 || !inserted.empty(); }
};

void Flush(std::string &patch, Hunk &hunk) {
  if (!hunk.Open()) return;
  patch += "@" + std::to_string(hunk.start) + "," + std::to_string(hunk.deleted) + "," +
           std::to_string(hunk.inserted.size()) + "\n";
  for (std::string_view line : hunk.inserted) patch += line;
  hunk = Hunk{};
}

// Takes lines off text, appending them to out when it is given; false when
// text has fewer.
bool TakeLines(std::string_view &text, size_t count, std::string *out) {
  for (; count > 0; --count) {
    if (text.empty()) return false;
    const void *feed = memchr(text.data(), '\n', text.size());
    size_t length = feed ? size_t(static_cast<const char *>(feed) - text.data()) + 1 : text.size();
    if (out) out->append(text.data(), length);
    text.remove_prefix(length);
  }
  return true;
}

bool ReadEnd(std::string_view &patch, std::string_view name, std::string &sha256, uint64_t &size) {
  std::string_view line;
  if (!NextLine(patch, line) || NextWord(line) != name) return false;
  sha256 = std::string(NextWord(line));
  std::optional<uint64_t> bytes = ParseWhole(NextWord(line));
  if (!IsSha256Hex(sha256) || !bytes || !line.empty()) return false;
  size = *bytes;
  return true;
}

}  // namespace

std::optional<std::string> MakePatch(std::string_view from, std::string_view to) {
  if ((!from.empty() && from.back() != '\n') || (!to.empty() && to.back() != '\n')) return std::nullopt;
  std::vector<std::string_view> before = Lines(from), after = Lines(to);
  dtl::Diff<std::string_view, std::vector<std::string_view>> diff(before, after);
  diff.onHuge();
  diff.compose();
  std::string patch = std::string(kMagic) + Ends("from", from) + Ends("to", to);
  Hunk hunk;
  size_t consumed = 0;  // lines of from taken so far
  for (const auto &[line, info] : diff.getSes().getSequence()) {
    if (info.type == dtl::SES_COMMON) {
      Flush(patch, hunk);
      consumed++;
      continue;
    }
    if (!hunk.Open()) hunk.start = consumed;
    if (info.type == dtl::SES_DELETE) {
      hunk.deleted++;
      consumed++;
    } else {
      hunk.inserted.push_back(line);
    }
  }
  Flush(patch, hunk);
  return patch;
}

std::optional<PatchEnds> ReadPatchEnds(std::string_view patch) {
  PatchEnds ends;
  if (!patch.starts_with(kMagic)) return std::nullopt;
  patch.remove_prefix(kMagic.size());
  if (!ReadEnd(patch, "from", ends.fromSha256, ends.fromSize) || !ReadEnd(patch, "to", ends.toSha256, ends.toSize))
    return std::nullopt;
  return ends;
}

std::optional<std::string> ApplyPatch(std::string_view from, std::string_view fromSha256, std::string_view patch) {
  std::optional<PatchEnds> ends = ReadPatchEnds(patch);
  if (!ends || ends->fromSha256 != fromSha256 || ends->fromSize != from.size()) return std::nullopt;
  for (int skip = 0; skip < 3; ++skip) TakeLines(patch, 1, nullptr);  // the ends
  std::string out;
  out.reserve(ends->toSize);
  size_t at = 0;  // lines of from taken so far
  std::string_view header;
  while (NextLine(patch, header)) {
    if (header.empty() || header.front() != '@') return std::nullopt;
    std::string_view numbers = header.substr(1);
    size_t comma = numbers.find(','), second = numbers.find(',', comma + 1);
    if (second == std::string_view::npos) return std::nullopt;
    std::optional<uint64_t> start = ParseWhole(numbers.substr(0, comma)),
                            deleted = ParseWhole(numbers.substr(comma + 1, second - comma - 1)),
                            inserted = ParseWhole(numbers.substr(second + 1));
    if (!start || !deleted || !inserted || *start < at) return std::nullopt;
    if (!TakeLines(from, *start - at, &out) || !TakeLines(from, *deleted, nullptr) ||
        !TakeLines(patch, *inserted, &out))
      return std::nullopt;
    at = *start + *deleted;
    if (out.size() > ends->toSize) return std::nullopt;
  }
  out.append(from);
  if (out.size() != ends->toSize || Sha256OfBytes(out.data(), out.size()) != ends->toSha256) return std::nullopt;
  return out;
}
