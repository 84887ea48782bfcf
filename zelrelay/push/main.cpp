// zelrelay-push REPOSITORY s3://BUCKET/PREFIX: puts a repository into a
// bucket of an S3-compatible object store, as push/push.h describes.
#include <cstdio>
#include <cstring>
#include <string>

#include "base/status.h"
#include "push/bucket.h"
#include "push/push.h"
#include "sources/s3.h"

namespace {

constexpr const char *kUsage =
    "usage: zelrelay-push REPOSITORY s3://BUCKET/PREFIX\n"
    "Puts the repository into the bucket: what its index names first, the index last; what the index\n"
    "stops naming is deleted after the grace period (ZELRELAY_GRACE_PERIOD). Credentials, region and\n"
    "endpoint come from AWS_ACCESS_KEY_ID, AWS_SECRET_ACCESS_KEY, AWS_SESSION_TOKEN, AWS_REGION,\n"
    "AWS_ENDPOINT_URL and the shared credentials file (AWS_PROFILE).\n"
    "Exit status: 0 pushed, 1 failed, 2 wrong arguments.\n";

int Failed(const std::string &target, const std::string &what) {
  fprintf(stderr, "zelrelay-push: %s: %s\n", target.c_str(), what.c_str());
  return 1;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc == 2 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) {
    fputs(kUsage, stdout);
    return 0;
  }
  if (argc != 3 || !IsS3Url(argv[2])) {
    fputs(kUsage, stderr);
    return 2;
  }
  std::string repository = argv[1], target = argv[2];
  try {
    PushFigures f = Push(repository, target);
    printf("pushed %s to %s: %zu uploaded (%llu bytes), %zu unchanged, %zu retired, %zu deleted\n",
           repository.c_str(), target.c_str(), f.uploaded, (unsigned long long)f.bytes, f.unchanged, f.retired,
           f.deleted);
    return 0;
  } catch (const PushHeld &held) {
    return Failed(target, "held by another push; if none is running, delete " + held.holder);
  } catch (const StoreError &e) {
    return Failed(target, StatusMessage(e.status) + " (" + e.what + ")");
  } catch (const RelayError &e) {
    return Failed(target, repository + ": " + StatusMessage(e.status));
  } catch (const std::exception &e) {
    return Failed(target, e.what());
  }
}
