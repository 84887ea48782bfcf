/* A directory upstream for the benchmarks, written directly: zelrelay-publish
 * needs a folder per component and is too slow at 100,000 of them.
 *   mkupstream DIR PRODUCTS COMPONENTS-PER-PRODUCT PAYLOAD-BYTES
 * Products c1t7v1.0.1l<p> (so the one request "c1t7" covers them all), each
 * with its own class-3 components; every package is a stored zip of one
 * member of pseudo-random bytes, different for every package. */
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/evp.h>

static uint32_t crc_table[256];

static void crc_init(void) {
  for (uint32_t i = 0; i < 256; i++) {
    uint32_t c = i;
    for (int k = 0; k < 8; k++) c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    crc_table[i] = c;
  }
}

static uint32_t crc32_of(const unsigned char *p, size_t n) {
  uint32_t c = 0xFFFFFFFFu;
  while (n--) c = crc_table[(c ^ *p++) & 0xFF] ^ (c >> 8);
  return c ^ 0xFFFFFFFFu;
}

static void put16(unsigned char *p, uint32_t v) {
  p[0] = (unsigned char)v;
  p[1] = (unsigned char)(v >> 8);
}

static void put32(unsigned char *p, uint32_t v) {
  put16(p, v & 0xFFFF);
  put16(p + 2, v >> 16);
}

static void die(const char *what, const char *path) {
  fprintf(stderr, "mkupstream: %s %s: %s\n", what, path, strerror(errno));
  exit(1);
}

static void write_all(int fd, const void *data, size_t n, const char *path) {
  const char *p = data;
  while (n > 0) {
    ssize_t w = write(fd, p, n);
    if (w < 0) die("cannot write", path);
    p += w;
    n -= (size_t)w;
  }
}

/* The whole archive in buffer; returns its size. */
static size_t build_zip(unsigned char *zip, const unsigned char *payload, uint32_t size) {
  static const char name[] = "data";
  const uint32_t nameLength = sizeof name - 1, crc = crc32_of(payload, size);
  unsigned char *p = zip;
  memset(p, 0, 30);
  put32(p, 0x04034b50);
  put16(p + 4, 10);
  put16(p + 12, 0x21); /* 1980-01-01 */
  put32(p + 14, crc);
  put32(p + 18, size);
  put32(p + 22, size);
  put16(p + 26, nameLength);
  memcpy(p + 30, name, nameLength);
  p += 30 + nameLength;
  memcpy(p, payload, size);
  p += size;
  uint32_t central = (uint32_t)(p - zip);
  memset(p, 0, 46);
  put32(p, 0x02014b50);
  put16(p + 4, 20);
  put16(p + 6, 10);
  put16(p + 14, 0x21);
  put32(p + 16, crc);
  put32(p + 20, size);
  put32(p + 24, size);
  put16(p + 28, nameLength);
  put32(p + 38, 0644u << 16);
  memcpy(p + 46, name, nameLength);
  p += 46 + nameLength;
  uint32_t centralSize = (uint32_t)(p - zip) - central;
  memset(p, 0, 22);
  put32(p, 0x06054b50);
  put16(p + 8, 1);
  put16(p + 10, 1);
  put32(p + 12, centralSize);
  put32(p + 16, central);
  p += 22;
  return (size_t)(p - zip);
}

static void fill(unsigned char *p, size_t n, uint64_t seed) {
  uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
  for (size_t i = 0; i < n; i++) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    p[i] = (unsigned char)(x >> 24);
  }
}

int main(int argc, char **argv) {
  if (argc != 5) {
    fprintf(stderr, "usage: mkupstream DIR PRODUCTS COMPONENTS-PER-PRODUCT PAYLOAD-BYTES\n");
    return 2;
  }
  const char *dir = argv[1];
  long products = atol(argv[2]), per = atol(argv[3]), size = atol(argv[4]);
  if (products < 1 || per < 1 || size < 1 || size > (1L << 30)) return 2;
  crc_init();
  char path[4096];
  if (mkdir(dir, 0755) != 0 && errno != EEXIST) die("cannot create", dir);
  snprintf(path, sizeof path, "%s/packages", dir);
  if (mkdir(path, 0755) != 0 && errno != EEXIST) die("cannot create", path);
  unsigned char *payload = malloc((size_t)size), *zip = malloc((size_t)size + 256);
  snprintf(path, sizeof path, "%s/server.ini.lines", dir);
  FILE *pattern = fopen(path, "w+");
  if (pattern == NULL || payload == NULL || zip == NULL) die("cannot prepare", path);
  EVP_MD_CTX *md = EVP_MD_CTX_new();
  for (long c = 0; c < products * per; c++) {
    char id[96];
    snprintf(id, sizeof id, "c3t%ldv1.0000.1l1p-1r-1o-1", 100000 + c);
    fill(payload, (size_t)size, (uint64_t)c);
    size_t n = build_zip(zip, payload, (uint32_t)size);
    unsigned char digest[32];
    unsigned int digestLength = 0;
    EVP_DigestInit_ex(md, EVP_sha256(), NULL);
    EVP_DigestUpdate(md, zip, n);
    EVP_DigestFinal_ex(md, digest, &digestLength);
    snprintf(path, sizeof path, "%s/packages/%s.zip", dir, id);
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) die("cannot create", path);
    write_all(fd, zip, n, path);
    close(fd);
    fprintf(pattern, "%s=%zu ", id, n);
    for (unsigned i = 0; i < digestLength; i++) fprintf(pattern, "%02x", digest[i]);
    fprintf(pattern, " packages/%s.zip\n", id);
  }
  snprintf(path, sizeof path, "%s/server.ini", dir);
  FILE *index = fopen(path, "w");
  if (index == NULL) die("cannot create", path);
  fputs("[PATTERN]\n", index);
  rewind(pattern);
  char line[512];
  while (fgets(line, sizeof line, pattern)) fputs(line, index);
  fputs("\n[ENGINE]\n\n[All_Product]\n", index);
  for (long p = 0; p < products; p++) {
    fprintf(index, "c1t7v1.0000.1l%ldp-1r-1o-1=", p + 1);
    for (long k = 0; k < per; k++) fprintf(index, "%sc3t%ldv1.0000.1l1p-1r-1o-1", k ? " " : "", 100000 + p * per + k);
    fputc('\n', index);
  }
  fputc('\n', index);
  if (fclose(index) != 0) die("cannot write", path);
  fclose(pattern);
  snprintf(path, sizeof path, "%s/server.ini.lines", dir);
  unlink(path);
  EVP_MD_CTX_free(md);
  free(payload);
  free(zip);
  return 0;
}
