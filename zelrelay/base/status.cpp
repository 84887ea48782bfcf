// The local relay's statuses and their messages.
#include "base/status.h"

const StatusRow kStatusRows[] = {
    {RELAY_OK, "success"},
    {RELAY_ALREADY_STARTED, "already started"},
    {RELAY_FAILED, "failed"},
    {RELAY_NOT_STARTED, "not started"},
    {RELAY_INVALID_ARGUMENT, "invalid argument"},
    {RELAY_OUT_OF_MEMORY, "out of memory"},
    {RELAY_NO_SOURCES, "no sources given"},
    {RELAY_NETWORK_SOURCE, "only file, http and https sources are supported"},
    {RELAY_BAD_SOURCE, "source is neither a directory nor a file:// URL"},
    {RELAY_NO_SOURCE_ANSWERED, "no source has a repository index"},
    {RELAY_NOT_WRITABLE, "repository is not a writable directory"},
    {RELAY_BAD_INDEX, "repository index is malformed"},
    {RELAY_UNSAFE_PACKAGE_PATH, "index names a package outside \"packages\""},
    {RELAY_PACKAGE_MISMATCH, "package size or SHA-256 does not match the index"},
    {RELAY_CANCELLED, "cancelled"},
    {RELAY_NOT_FOUND, "component not found in the repository"},
    {RELAY_ARCHIVE_ERROR, "archive is damaged or unreadable"},
    {RELAY_UNSAFE_ARCHIVE_ENTRY, "archive entry would leave the destination"},
    {RELAY_IO_ERROR, "file read or write failed"},
    {RELAY_BAD_DESTINATION, "destination directory cannot be created"},
    {RELAY_UNKNOWN_OPTION, "unknown option"},
    {RELAY_BAD_OPTION_VALUE, "option value out of range"},
    {RELAY_UNKNOWN_EVENT, "unknown event"},
    {RELAY_SEMAPHORE, "named semaphore unavailable"},
    {RELAY_PACKAGE_MISSING, "upstream package is missing"},
    {RELAY_BUSY, "repository is already being written by this process"},
    {RELAY_BAD_CONTEXT, "invalid context handle"},
    {RELAY_SOURCE_IS_REPOSITORY, "source is the repository itself"},
    {RELAY_NOT_REGULAR_FILE, "upstream file is not a regular file"},
    {RELAY_INDEX_TOO_LARGE, "upstream index is larger than 64 MiB"},
    {RELAY_LINK_LEAVES_UPSTREAM, "upstream file is a link that leads outside it"},
    {RELAY_NO_SPACE, "not enough space on the file system"},
    {RELAY_NAME_TOO_LONG, "archive member name too long for the file system"},
    {RELAY_NOT_A_ZIP, "package is not a zip archive"},
    {RELAY_UNSUPPORTED_MEMBER, "archive member is a link or a special file"},
    {RELAY_INSECURE_SOURCE, "plain http:// refused by httpslevel"},
    {RELAY_HOST_UNREACHABLE, "upstream host cannot be reached"},
    {RELAY_TLS_UNTRUSTED, "upstream TLS certificate is not trusted"},
    {RELAY_PROXY_AUTH, "proxy refused the credentials"},
    {RELAY_PROXY_UNREACHABLE, "proxy cannot be reached"},
    {RELAY_TIMED_OUT, "upstream timed out"},
    {RELAY_TRANSFER_FAILED, "upstream transfer broke off, or its reply is not HTTP"},
    {RELAY_NOTHING_MATCHES, "request matches nothing upstream"},
    {RELAY_NO_URL, "source has no URL"},
    {RELAY_MALFORMED_URL, "source URL is malformed"},
    {RELAY_REDIRECT_REFUSED, "upstream redirects to a scheme that is not followed"},
    {RELAY_UNASKED_NOT_MODIFIED, "upstream answered 304 though no index is kept"},
};
const size_t kStatusRowCount = sizeof kStatusRows / sizeof kStatusRows[0];

std::string StatusMessage(int32_t status) {
  int32_t http = RELAY_HTTP - status;
  if (http >= kHttpStatusMin && http <= kHttpStatusMax) return "upstream answered HTTP " + std::to_string(http);
  for (const StatusRow &row : kStatusRows)
    if (row.status == status) return row.message;
  return "unknown status";
}
