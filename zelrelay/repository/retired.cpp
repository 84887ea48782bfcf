// Files the index stopped naming.
#include "repository/retired.h"

#include "base/files.h"
#include "base/listing.h"
#include "base/text.h"
#include "zelrelay_shared.h"

Retired ReadRetired(const std::string &repository) {
  Retired retired;
  std::optional<std::string> text;
  try {
    text = ReadWholeFile(JoinPath(repository, kRetiredName));
  } catch (const RelayError &) {
    return retired;
  }
  std::string_view rest = text ? std::string_view(*text) : std::string_view();
  IniLine line;
  while (NextIniLine(rest, line)) {
    std::optional<uint64_t> seconds = ParseWhole(line.value);
    if (line.kind == IniLine::Entry && seconds) retired.since.emplace(std::string(line.key), int64_t(*seconds));
  }
  return retired;
}

void WriteRetired(const std::string &repository, Retired &retired) {
  if (!retired.changed) return;
  std::string path = JoinPath(repository, kRetiredName);
  if (retired.since.empty()) {
    RemoveFile(path);
  } else {
    std::string text;
    for (const auto &[name, seconds] : retired.since) text += name + "=" + std::to_string(seconds) + "\n";
    WriteFileAtomically(path, text);
  }
  retired.changed = false;
}

void RetireUnnamed(const std::string &repository, const std::function<bool(std::string_view)> &named,
                   Retired &retired, int64_t now) {
  auto retire = [&](const std::string &path) {
    if (retired.since.emplace(path, now).second) retired.changed = true;
  };
  // Partials and temporaries have their own ways out; a signature goes
  // with its package, and one whose package the clean-up took stays.
  // The directory is read one name at a time: it may hold many.
  std::string path;
  ForEachName(JoinPath(repository, ZELRELAY_PACKAGES_DIR), [&](std::string_view name) {
    if (!name.ends_with(".zip")) return;
    path = ZELRELAY_PACKAGES_DIR "/";
    path += name;
    if (named(path) || retired.Has(path)) return;
    retire(path);
    if (Exists(JoinPath(repository, path + ".sig"))) retire(path + ".sig");
  });
}

void Unretire(Retired &retired, std::string_view path) {
  auto at = retired.since.find(path);
  if (at == retired.since.end()) return;
  retired.since.erase(at);
  retired.changed = true;
}

void SweepRetired(const std::string &repository, Retired &retired, int64_t now, int64_t grace) {
  for (auto at = retired.since.begin(); at != retired.since.end();) {
    if (now - at->second < grace || !RemoveFile(JoinPath(repository, at->first))) {
      ++at;
      continue;
    }
    at = retired.since.erase(at);
    retired.changed = true;
  }
}
