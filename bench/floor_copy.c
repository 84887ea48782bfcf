/* The floor of a first mirror from a directory: each package read, hashed
 * with SHA-256 and written into a target folder, one syncfs at the end.
 *   floor_copy UPSTREAM TARGET     prints the seconds it took */
#define _GNU_SOURCE /* syncfs */
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <openssl/evp.h>

enum { BUFFER = 128 * 1024 };

static int fail(const char *what, const char *name) {
  fprintf(stderr, "floor_copy: %s %s: %s\n", what, name, strerror(errno));
  return 1;
}

static int copy(int from, int to, const char *name, EVP_MD_CTX *md, unsigned char *digest) {
  static char buffer[BUFFER];
  EVP_DigestInit_ex(md, EVP_sha256(), NULL);
  for (;;) {
    ssize_t n = read(from, buffer, sizeof buffer);
    if (n < 0) return fail("cannot read", name);
    if (n == 0) break;
    EVP_DigestUpdate(md, buffer, (size_t)n);
    for (ssize_t done = 0; done < n;) {
      ssize_t w = write(to, buffer + done, (size_t)(n - done));
      if (w < 0) return fail("cannot write", name);
      done += w;
    }
  }
  unsigned int length = 0;
  EVP_DigestFinal_ex(md, digest, &length);
  return 0;
}

int main(int argc, char **argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: floor_copy UPSTREAM TARGET\n");
    return 2;
  }
  struct timespec start, end;
  clock_gettime(CLOCK_MONOTONIC, &start);
  char path[4096];
  snprintf(path, sizeof path, "%s/packages", argv[1]);
  int source = open(path, O_RDONLY | O_DIRECTORY);
  if (source < 0) return fail("cannot open", path);
  if (mkdir(argv[2], 0755) != 0 && errno != EEXIST) return fail("cannot create", argv[2]);
  int target = open(argv[2], O_RDONLY | O_DIRECTORY);
  if (target < 0) return fail("cannot open", argv[2]);
  DIR *dir = fdopendir(source);
  EVP_MD_CTX *md = EVP_MD_CTX_new();
  unsigned char digest[EVP_MAX_MD_SIZE], sink = 0;
  long files = 0;
  for (struct dirent *entry; (entry = readdir(dir)) != NULL;) {
    if (entry->d_type != DT_REG) continue;
    int from = openat(source, entry->d_name, O_RDONLY);
    if (from < 0) return fail("cannot open", entry->d_name);
    int to = openat(target, entry->d_name, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (to < 0) return fail("cannot create", entry->d_name);
    if (copy(from, to, entry->d_name, md, digest) != 0) return 1;
    sink ^= digest[0];
    close(from);
    close(to);
    files++;
  }
  if (syncfs(target) != 0) return fail("cannot sync", argv[2]);
  clock_gettime(CLOCK_MONOTONIC, &end);
  closedir(dir);
  close(target);
  EVP_MD_CTX_free(md);
  printf("%.6f %ld %u\n", (double)(end.tv_sec - start.tv_sec) + (double)(end.tv_nsec - start.tv_nsec) * 1e-9, files,
         sink);
  return 0;
}
