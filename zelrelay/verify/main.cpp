// zelrelay-verify [--json] REPOSITORY: checks every package file and every
// merged-archive member a repository holds against what its index and
// merged.ini say (size and SHA-256), and names each one damaged or missing.
// It reads only; a writer at work is waited for.
#include <fcntl.h>
#include <rapidjson/prettywriter.h>
#include <rapidjson/stringbuffer.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "base/digest.h"
#include "base/files.h"
#include "base/index.h"
#include "base/status.h"
#include "repository/holdings.h"
#include "zelrelay_shared.h"

namespace {

constexpr const char *kUsage = "usage: zelrelay-verify [--json] REPOSITORY\n";

struct Problem {
  const ComponentEntry *entry;
  const char *what;  // missing, size or sha256
};

struct Verdict {
  size_t packages = 0, members = 0;
  std::vector<Problem> problems;
};

// What is at the entry's place: nothing, bytes of another size, or bytes
// of another digest; null when they are as listed.
const char *Check(const std::string &repository, const ComponentEntry &entry) {
  FileDescriptor file{open(JoinPath(repository, entry.path).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)};
  struct stat info;
  if (file.fd < 0 || fstat(file.fd, &info) != 0 || !S_ISREG(info.st_mode)) return "missing";
  uint64_t start = entry.InArchive() ? entry.offset : 0;
  if (entry.InArchive() ? uint64_t(info.st_size) < start + entry.size : uint64_t(info.st_size) != entry.size)
    return "size";
  return Sha256OfRange(file.fd, start, entry.size) == entry.sha256 ? nullptr : "sha256";
}

// Every member merged.ini lists, whatever became of its archive since, and
// those of archives it does not describe, as the archives' own manifests
// list them.
Index Members(const std::string &repository, const Holdings &held) {
  FileDescriptor root = OpenDirectory(repository);
  Index members = (root.fd < 0 ? std::nullopt : ReadIndexAt(root.fd, ZELRELAY_MERGED_INDEX)).value_or(Index{});
  members.strings->Hold(held.Strings());
  std::set<std::pair<std::string_view, uint64_t>> listed;
  for (const ComponentEntry &c : members.components) listed.emplace(c.path, c.offset);
  for (const ComponentEntry &member : held.merged.components)
    if (!listed.count({member.path, member.offset})) members.components.push_back(member);
  return members;
}

Verdict Verify(const std::string &repository, const Holdings &held, const Index &members) {
  Verdict verdict;
  for (const ComponentEntry *c : held.gone) verdict.problems.push_back({c, "missing"});
  for (const ComponentEntry *c : held.components) {
    if (c->InArchive()) continue;  // checked below, with every member
    verdict.packages++;
    if (const char *what = Check(repository, *c)) verdict.problems.push_back({c, what});
  }
  for (const ComponentEntry &member : members.components) {
    verdict.members++;
    if (const char *what = Check(repository, member)) verdict.problems.push_back({&member, what});
  }
  return verdict;
}

std::string Place(const ComponentEntry &c) {
  return c.InArchive() ? std::string(c.path) + "@" + std::to_string(c.offset) : std::string(c.path);
}

void PrintText(const Verdict &verdict) {
  for (const Problem &p : verdict.problems)
    if (strcmp(p.what, "missing") == 0)
      printf("missing %s (%s)\n", Place(*p.entry).c_str(), std::string(p.entry->id).c_str());
    else printf("damaged %s (%s): %s\n", Place(*p.entry).c_str(), std::string(p.entry->id).c_str(), p.what);
  printf("verified %zu packages and %zu merged members: %zu damaged or missing\n", verdict.packages, verdict.members,
         verdict.problems.size());
}

void PrintJson(const std::string &repository, const Verdict &verdict) {
  rapidjson::StringBuffer text;
  rapidjson::PrettyWriter<rapidjson::StringBuffer> out(text);
  out.SetIndent(' ', 2);
  auto string = [&](std::string_view s) { out.String(s.data(), rapidjson::SizeType(s.size())); };
  out.StartObject();
  out.Key("repository");
  string(repository);
  out.Key("packages");
  out.Uint64(verdict.packages);
  out.Key("members");
  out.Uint64(verdict.members);
  out.Key("problems");
  out.StartArray();
  for (const Problem &p : verdict.problems) {
    out.StartObject();
    out.Key("component");
    string(p.entry->id);
    out.Key("path");
    string(p.entry->path);
    out.Key("offset");
    if (p.entry->InArchive()) out.Uint64(p.entry->offset);
    else out.Null();
    out.Key("problem");
    out.String(p.what);
    out.EndObject();
  }
  out.EndArray();
  out.EndObject();
  printf("%s\n", text.GetString());
}

// A writer's run is waited for, so that what it has not yet put in place
// does not count as missing; a repository never written has no lock file.
FileDescriptor WaitForWriters(const std::string &repository) {
  FileDescriptor lock{open(JoinPath(repository, ".zelrelay.lock").c_str(), O_RDONLY | O_CLOEXEC)};
  if (lock.fd >= 0)
    while (flock(lock.fd, LOCK_SH) != 0 && errno == EINTR) {
    }
  return lock;
}

}  // namespace

int main(int argc, char **argv) {
  bool json = argc == 3 && strcmp(argv[1], "--json") == 0;
  if (argc == 2 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) {
    fputs(kUsage, stdout);
    return 0;
  }
  if (argc != 2 && !json) {
    fputs(kUsage, stderr);
    return 2;
  }
  std::string repository = argv[argc - 1];
  if (!IsRegularFile(JoinPath(repository, ZELRELAY_INDEX_FILE)) &&
      !IsRegularFile(JoinPath(repository, ZELRELAY_MERGED_INDEX))) {
    fprintf(stderr, "zelrelay-verify: %s is not a repository\n", repository.c_str());
    return 2;
  }
  try {
    FileDescriptor lock = WaitForWriters(repository);
    Holdings held(repository);
    if (held.indexDamage != RELAY_OK) Fail(held.indexDamage);  // a run rebuilds it; this only tells
    Index members = Members(repository, held);
    Verdict verdict = Verify(repository, held, members);
    json ? PrintJson(repository, verdict) : PrintText(verdict);
    return verdict.problems.empty() ? 0 : 1;
  } catch (const RelayError &e) {
    fprintf(stderr, "zelrelay-verify: %s: %s\n", repository.c_str(), StatusMessage(e.status).c_str());
  } catch (const std::exception &e) {
    fprintf(stderr, "zelrelay-verify: %s\n", e.what());
  }
  return 2;
}
