// Buckets of S3-compatible object stores as sources: "s3://BUCKET/PREFIX/"
// names one, and the environment says where the store is and how to sign
// for it, as the object stores' own tools read it:
//   AWS_ACCESS_KEY_ID, AWS_SECRET_ACCESS_KEY, AWS_SESSION_TOKEN, else the
//     shared credentials file (AWS_SHARED_CREDENTIALS_FILE, else
//     ~/.aws/credentials) and its profile (AWS_PROFILE, else "default");
//   AWS_REGION, else AWS_DEFAULT_REGION, else the profile's region in the
//     config file (AWS_CONFIG_FILE, else ~/.aws/config), else us-east-1;
//   AWS_ENDPOINT_URL_S3, else AWS_ENDPOINT_URL, for a store that is not
//     AWS's: it is then addressed path-style, ENDPOINT/BUCKET/KEY, which
//     every such store reads; AWS's own virtual-hosted, BUCKET.s3.REGION...
// Credentials go into signatures only: never into a file, an event, a
// message or a report.
#pragma once

#include <string>
#include <string_view>

#include "sources/network.h"

struct S3Location {
  std::string bucket;
  std::string prefix;  // empty, or ends in "/"
  std::string base;    // the URL of the prefix, ending in "/"
  std::string endpoint;  // of a store that is not AWS's, without a "/" at the end; else empty
  AwsSigning signing;
  // "s3://BUCKET/PREFIX/", as reports show it.
  std::string Shown() const { return "s3://" + bucket + "/" + prefix; }
  // The URL of a bucket of the same store: "ENDPOINT/BUCKET", or AWS's
  // "https://BUCKET.s3.REGION.amazonaws.com/".
  std::string BucketUrl(const std::string &name) const;
};

// Whether a URL names a bucket (its scheme is s3).
bool IsS3Url(std::string_view url);
// Throws RELAY_MALFORMED_URL for an s3:// URL without a bucket,
// RELAY_NO_STORE_CREDENTIALS when no credentials are found.
S3Location S3LocationOf(std::string_view url);
// Each byte of a key that is not unreserved or "/" as %XX, upper case, as
// the signature's canonical path has it.
std::string EscapeKey(std::string_view key);
