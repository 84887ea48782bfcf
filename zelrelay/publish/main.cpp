// zelrelay-publish MANIFEST OUTPUT: turns payload folders described by a
// manifest into an upstream repository that relays can mirror, signed with
// the publisher's keys when given; --keygen makes such a key.
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <map>
#include <optional>
#include <vector>

#include "base/digest.h"
#include "base/entity.h"
#include "base/files.h"
#include "base/index.h"
#include "base/listing.h"
#include "base/served.h"
#include "base/signature.h"
#include "base/statement.h"
#include "base/status.h"
#include "base/text.h"
#include "packages/zip.h"
#include "publish/keys.h"
#include "publish/manifest.h"

namespace {

// Files below a payload folder, as member names relative to it, sorted so
// that archives come out the same every time.
void CollectFiles(const std::string &root, const std::string &relative, std::vector<ArchiveMember> &members) {
  std::string directory = relative.empty() ? root : JoinPath(root, relative);
  std::vector<std::string> names = ListDirectory(directory);
  std::sort(names.begin(), names.end());
  for (const std::string &name : names) {
    std::string member = relative.empty() ? name : relative + "/" + name;
    std::string full = JoinPath(root, member);
    if (IsDirectory(full)) CollectFiles(root, member, members);
    else if (IsRegularFile(full)) members.push_back(ArchiveMember{member, full, {}});
  }
}

// A component with all it is made of, found before anything is written, so
// that a refused manifest leaves the output as it was.
struct Packing {
  const ManifestComponent *component;
  std::vector<ArchiveMember> members;
  std::optional<std::string> signature;
};

Packing Gather(const ManifestComponent &component, const std::string &base) {
  Packing packing{&component, {}, {}};
  std::string folder = JoinPath(base, component.payload);
  if (!IsDirectory(folder)) RefuseLine(component.payloadLine, "payload folder " + folder + " cannot be read");
  CollectFiles(folder, {}, packing.members);
  if (packing.members.empty()) RefuseLine(component.payloadLine, "payload folder " + folder + " holds no file");
  if (!component.signature.empty()) {
    std::string file = JoinPath(base, component.signature);
    packing.signature = ReadWholeFile(file);
    if (!packing.signature) RefuseLine(component.signatureLine, "signature file " + file + " cannot be read");
  }
  return packing;
}

// Its strings go to the index's pool.
ComponentEntry PackComponent(const Packing &packing, const std::string &output, Index &index) {
  ComponentEntry entry{packing.component->entity, index.Keep(ExtractName(packing.component->entity)), 0, {}, {}};
  entry.path = index.Keep(PackagePath(entry));
  std::string target = JoinPath(output, entry.path);
  TempFile temp = CreateTempFile(target);
  WriteZip(temp.file.fd, packing.members, Compression::Deflated);
  CommitTempFile(temp);
  entry.sha256 = index.Keep(Sha256OfFile(target, &entry.size));
  if (packing.signature) WriteFileAtomically(target + ".sig", *packing.signature);
  return entry;
}

// ParseManifest made sure that every component it names is given.
ProductEntry ToProduct(const ManifestProduct &product, Index &index) {
  ProductEntry entry{product.entity, index.Keep(ExtractName(product.entity)), {}, {}};
  for (const ZELRELAY_EntityItem &component : product.components)
    entry.components.push_back(FindComponent(index, ExtractName(component))->id);
  return entry;
}

// What the command line asked for.
struct Request {
  std::string manifest, output, keygen;
  std::vector<std::string> keys;
  std::optional<int64_t> expires;
  std::optional<uint64_t> version;
};

constexpr const char *kUsage =
    "usage: zelrelay-publish [--key KEYFILE]... [--expires DATE] [--version N] MANIFEST OUTPUT-DIRECTORY\n"
    "       zelrelay-publish --keygen KEYFILE\n";

constexpr const char *kHelp =
    "Builds an upstream repository from folders of component files that MANIFEST\n"
    "describes, into OUTPUT-DIRECTORY, which any web server can then serve.\n"
    "\n"
    "  --key KEYFILE    also sign it: beside the index, statement.ini names the\n"
    "                   index's SHA-256, a version and an expiry, signed by each\n"
    "                   key given (Ed25519, PEM, readable by its owner only)\n"
    "  --expires DATE   when the statement expires, as 2027-01-31T00:00:00Z;\n"
    "                   30 days on by default\n"
    "  --version N      the statement's version; by default one more than the\n"
    "                   version already in OUTPUT-DIRECTORY, else 1; it only grows\n"
    "  --keygen KEYFILE write a new private key to KEYFILE (which must not exist)\n"
    "                   and print its public key as a trust file's line\n"
    "  --help           this text\n"
    "\n"
    "Exit status: 0 done, 1 refused (the reason on standard error), 2 usage.\n";

constexpr int64_t kDefaultLifetime = 30 * 24 * 3600;

// The version a new statement takes: above any already in output. Keys and
// versions are settled before anything is written, so a refusal leaves the
// output as it was.
uint64_t NextVersion(const std::string &output, std::optional<uint64_t> asked) {
  uint64_t held = 0;
  if (std::optional<std::string> text = ReadWholeFile(JoinPath(output, kStatementFile))) {
    try {
      held = ParseStatement(*text).version;
    } catch (const RelayError &) {
      throw KeyError(JoinPath(output, kStatementFile) + ": not a statement; remove it to start from version 1");
    }
  }
  if (asked && *asked <= held)
    throw KeyError("version " + std::to_string(*asked) + " is not above the " + std::to_string(held) + " already there");
  return asked ? *asked : held + 1;
}

void SignIndex(const Request &request, const std::vector<SigningKey> &keys, uint64_t version,
               const std::string &indexText) {
  Statement statement;
  statement.index = Sha256OfBytes(indexText.data(), indexText.size());
  statement.version = version;
  statement.expires = request.expires ? *request.expires : int64_t(time(nullptr)) + kDefaultLifetime;
  std::string signedText = SignedText(statement);
  for (const SigningKey &key : keys) statement.signatures.emplace_back(PublicKeyOf(key), Sign(key, signedText));
  WriteFileAtomically(JoinPath(request.output, kStatementFile), StatementText(statement));
  printf("signed version %llu, expiring %s, with %zu key%s\n", static_cast<unsigned long long>(statement.version),
         FormatUtc(statement.expires).c_str(), keys.size(), keys.size() == 1 ? "" : "s");
}

int Run(const Request &request) {
  if (!request.keygen.empty()) {
    printf("key = %s\n", Base64(GenerateKey(request.keygen)).c_str());
    return 0;
  }
  const std::string &manifestPath = request.manifest, &output = request.output;
  std::vector<SigningKey> keys;
  for (const std::string &path : request.keys) keys.push_back(LoadKey(path));
  uint64_t version = keys.empty() ? 0 : NextVersion(output, request.version);
  std::optional<std::string> text = ReadWholeFile(manifestPath);
  if (!text) throw ManifestError("cannot read " + manifestPath);
  Manifest manifest = ParseManifest(*text);
  std::string base = ParentOf(manifestPath);
  std::vector<Packing> packings;
  for (const ManifestComponent &component : manifest.components) packings.push_back(Gather(component, base));
  MakeDirectory(output);
  MakeDirectory(JoinPath(output, ZELRELAY_PACKAGES_DIR));
  Index index;
  for (const Packing &packing : packings) index.components.push_back(PackComponent(packing, output, index));
  for (const ManifestProduct &product : manifest.products) index.products.push_back(ToProduct(product, index));
  ServeIndex(output, IndexRecords(index));
  printf("published %zu components in %zu products to %s\n", index.components.size(), index.products.size(),
         output.c_str());
  if (!keys.empty()) SignIndex(request, keys, version, IndexToText(index));
  return 0;
}

// nullopt, after a line on standard error, for words that make no request.
std::optional<Request> ParseArguments(int argc, char **argv) {
  Request request;
  std::vector<std::string> operands;
  for (int i = 1; i < argc; ++i) {
    std::string word = argv[i];
    if (!word.starts_with("--")) {
      operands.push_back(word);
      continue;
    }
    if (i + 1 == argc) return std::nullopt;
    std::string value = argv[++i];
    if (word == "--key") {
      request.keys.push_back(value);
    } else if (word == "--keygen") {
      request.keygen = value;
    } else if (word == "--expires") {
      if (!(request.expires = ParseUtc(value))) return std::nullopt;
    } else if (word == "--version") {
      if (!(request.version = ParseWhole(value)) || *request.version == 0) return std::nullopt;
    } else {
      return std::nullopt;
    }
  }
  bool generating = !request.keygen.empty();
  if (generating != operands.empty() || (generating && (!request.keys.empty() || request.expires || request.version)))
    return std::nullopt;
  if (operands.size() == 2) {
    request.manifest = operands[0];
    request.output = operands[1];
  } else if (!generating) {
    return std::nullopt;
  }
  return request;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc == 2 && (std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h")) {
    printf("%s\n%s", kUsage, kHelp);
    return 0;
  }
  std::optional<Request> request = ParseArguments(argc, argv);
  if (!request) {
    fputs(kUsage, stderr);
    return 2;
  }
  try {
    return Run(*request);
  } catch (const ManifestError &e) {
    fprintf(stderr, "%s: %s: %s\n", argv[0], request->manifest.c_str(), e.what());
  } catch (const RelayError &e) {
    fprintf(stderr, "%s: cannot write %s (%s)\n", argv[0], request->output.c_str(), StatusMessage(e.status).c_str());
  } catch (const std::exception &e) {
    fprintf(stderr, "%s: %s\n", argv[0], e.what());
  }
  return 1;
}
