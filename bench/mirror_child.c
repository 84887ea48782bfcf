/* One mirror through the library's C interface alone, so the peak resident
 * set is the relay's and not that of a Lua result table; with --twice the
 * same duplication again in the same process, for the cost of an unchanged
 * re-run inside the call.
 *   mirror_child [--twice] REPOSITORY UPSTREAM
 * prints "status seconds maxrss-KiB", with --twice followed by "status
 * seconds" of the second call. Seconds are the ZELRELAY_Duplicate call's;
 * the peak is taken before any second call. */
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

static double now(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec + (double)t.tv_nsec * 1e-9;
}

static int32_t duplicate(ZELRELAY_Context context, const char *upstream, double *seconds) {
  /* "c1t7": every product the benchmark's upstreams hold. */
  ZELRELAY_Product product = {{1, 7, -1, -1, -1, -1, {0, 0, 0}, 0}, NULL, 0};
  ZELRELAY_Source source = {wide(upstream), NULL, NULL, NULL};
  ZELRELAY_Information *information = NULL;
  double start = now();
  int32_t status = ZELRELAY_Duplicate(context, &product, 1, &source, 1, &information);
  *seconds = now() - start;
  if (information != NULL) ZELRELAY_DestroyData(information);
  free(source.url);
  return status;
}

int main(int argc, char **argv) {
  int twice = argc == 4 && strcmp(argv[1], "--twice") == 0;
  if (argc != 3 + twice) {
    fprintf(stderr, "usage: mirror_child [--twice] REPOSITORY UPSTREAM\n");
    return 2;
  }
  const char *repository = argv[1 + twice], *upstream = argv[2 + twice];
  mkdir(repository, 0755);
  ZELRELAY_Startup(0);
  ZELRELAY_Context context = NULL;
  double first = 0, second = 0;
  int32_t status = ZELRELAY_CreateContext(&context, wide(repository)), again = 0;
  if (status > 0) status = duplicate(context, upstream, &first);
  struct rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  if (status > 0 && twice) again = duplicate(context, upstream, &second);
  if (context != NULL) ZELRELAY_DestroyContext(context);
  ZELRELAY_Shutdown();
  printf("%d %.6f %ld", status, first, usage.ru_maxrss);
  if (twice) printf(" %d %.6f", again, second);
  printf("\n");
  return status > 0 && (!twice || again > 0) ? 0 : 1;
}
