/* One mirror through the library's C interface alone, so the peak resident
 * set is the relay's and not that of a Lua result table.
 *   mirror_child REPOSITORY UPSTREAM    prints "status seconds maxrss-KiB" */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>
#include <wchar.h>

#include "zelrelay.h"

static wchar_t *wide(const char *text) {
  size_t n = strlen(text);
  wchar_t *w = calloc(n + 1, sizeof *w);
  for (size_t i = 0; i < n; i++) w[i] = (unsigned char)text[i];
  return w;
}

int main(int argc, char **argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: mirror_child REPOSITORY UPSTREAM\n");
    return 2;
  }
  struct timespec start, end;
  clock_gettime(CLOCK_MONOTONIC, &start);
  mkdir(argv[1], 0755);
  ZELRELAY_Startup(0);
  ZELRELAY_Context context = NULL;
  int32_t status = ZELRELAY_CreateContext(&context, wide(argv[1]));
  if (status > 0) {
    /* "c1t7": every product the benchmark's upstreams hold. */
    ZELRELAY_Product product = {{1, 7, -1, -1, -1, -1, {0, 0, 0}, 0}, NULL, 0};
    ZELRELAY_Source source = {wide(argv[2]), NULL, NULL, NULL};
    ZELRELAY_Information *information = NULL;
    status = ZELRELAY_Duplicate(context, &product, 1, &source, 1, &information);
    if (information != NULL) ZELRELAY_DestroyData(information);
    ZELRELAY_DestroyContext(context);
  }
  ZELRELAY_Shutdown();
  clock_gettime(CLOCK_MONOTONIC, &end);
  struct rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  printf("%d %.6f %ld\n", status,
         (double)(end.tv_sec - start.tv_sec) + (double)(end.tv_nsec - start.tv_nsec) * 1e-9, usage.ru_maxrss);
  return status > 0 ? 0 : 1;
}
