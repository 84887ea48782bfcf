// Buckets of S3-compatible object stores.
#include "sources/s3.h"

#include <map>
#include <optional>

#include "base/environment.h"
#include "base/files.h"
#include "base/status.h"
#include "base/text.h"
#include "sources/source.h"

namespace {

std::string FirstSet(std::initializer_list<const char *> names) {
  for (const char *name : names)
    if (std::string value = EnvironmentText(name); !value.empty()) return value;
  return {};
}

// The keys of one section of an INI file of the store's tools.
std::map<std::string, std::string> Section(const std::string &path, const std::string &wanted) {
  std::map<std::string, std::string> keys;
  std::optional<std::string> text;
  try {
    text = ReadWholeFile(path);
  } catch (const RelayError &) {
  }
  std::string_view rest = text ? std::string_view(*text) : std::string_view();
  bool inside = false;
  IniLine line;
  while (NextIniLine(rest, line)) {
    if (line.kind == IniLine::Header) inside = Trim(line.text.substr(1, line.text.size() - 2)) == wanted;
    else if (inside && line.kind == IniLine::Entry) keys[std::string(line.key)] = line.value;
  }
  return keys;
}

std::string HomeFile(const char *variable, const char *name) {
  std::string path = EnvironmentText(variable);
  return path.empty() ? JoinPath(EnvironmentText("HOME"), std::string(".aws/") + name) : path;
}

AwsSigning SigningOf() {
  AwsSigning signing{{}, EnvironmentText("AWS_ACCESS_KEY_ID"), EnvironmentText("AWS_SECRET_ACCESS_KEY"),
                     EnvironmentText("AWS_SESSION_TOKEN")};
  std::string profile = FirstSet({"AWS_PROFILE"});
  if (profile.empty()) profile = "default";
  if (signing.key.empty() || signing.secret.empty()) {
    std::map<std::string, std::string> kept = Section(HomeFile("AWS_SHARED_CREDENTIALS_FILE", "credentials"), profile);
    signing.key = kept["aws_access_key_id"];
    signing.secret = kept["aws_secret_access_key"];
    signing.token = kept["aws_session_token"];
  }
  if (signing.key.empty() || signing.secret.empty()) Fail(RELAY_NO_STORE_CREDENTIALS);
  signing.region = FirstSet({"AWS_REGION", "AWS_DEFAULT_REGION"});
  if (signing.region.empty())
    signing.region = Section(HomeFile("AWS_CONFIG_FILE", "config"),
                             profile == "default" ? profile : "profile " + profile)["region"];
  if (signing.region.empty()) signing.region = "us-east-1";
  return signing;
}

bool Unreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
         c == '_' || c == '~';
}

}  // namespace

bool IsS3Url(std::string_view url) { return SchemeOf(url) == "s3"; }

std::string EscapeKey(std::string_view key) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : key) {
    if (Unreserved(c) || c == '/') {
      out += char(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

S3Location S3LocationOf(std::string_view url) {
  std::string_view rest = url.substr(url.find("://") + 3);
  size_t slash = rest.find('/');
  S3Location location;
  location.bucket = std::string(rest.substr(0, slash));
  if (location.bucket.empty()) Fail(RELAY_MALFORMED_URL);
  location.prefix = slash == std::string_view::npos ? "" : std::string(rest.substr(slash + 1));
  if (!location.prefix.empty() && location.prefix.back() != '/') location.prefix += '/';
  location.signing = SigningOf();
  std::string endpoint = FirstSet({"AWS_ENDPOINT_URL_S3", "AWS_ENDPOINT_URL"});
  while (!endpoint.empty() && endpoint.back() == '/') endpoint.pop_back();
  location.endpoint = endpoint;
  location.base = location.BucketUrl(location.bucket) + (endpoint.empty() ? "" : "/") + EscapeKey(location.prefix);
  return location;
}

// Path-style without the "/" after the bucket: "/BUCKET/" would name an
// object of no name.
std::string S3Location::BucketUrl(const std::string &name) const {
  if (endpoint.empty()) return "https://" + name + ".s3." + signing.region + ".amazonaws.com/";
  return endpoint + "/" + EscapeKey(name);
}
