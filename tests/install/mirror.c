/* One mirror through the installed library: start, open a context on the
   repository, duplicate a product from the upstream, release all.
   usage: mirror UPSTREAM REPOSITORY */
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>
#include <zelrelay.h>

static wchar_t *widen(const char *text) {
  size_t n = mbstowcs(NULL, text, 0) + 1;
  wchar_t *wide = calloc(n, sizeof *wide);
  if (wide != NULL) mbstowcs(wide, text, n);
  return wide;
}

int main(int argc, char **argv) {
  if (argc != 3) return 2;
  wchar_t *upstream = widen(argv[1]), *repository = widen(argv[2]), message[ZELRELAY_MESSAGE_CHARS];
  ZELRELAY_Product product = {{3, 4, -1, -1, -1, -1, {0, 0, 0}, 0}, NULL, 0}; /* c3t4, any version */
  ZELRELAY_Source source = {upstream, NULL, NULL, NULL};
  ZELRELAY_Information *information = NULL;
  ZELRELAY_Context context = NULL;
  int32_t status = ZELRELAY_Startup(0);
  if (status > 0) status = ZELRELAY_CreateContext(&context, repository);
  if (status > 0) {
    status = ZELRELAY_Duplicate(context, &product, 1, &source, 1, &information);
    if (information != NULL) {
      printf("%llu products\n", (unsigned long long)information->productCount);
      ZELRELAY_DestroyData(information);
    }
    ZELRELAY_DestroyContext(context);
  }
  ZELRELAY_GetStatusMessage(message, status);
  printf("status %d %ls\n", (int)status, message);
  ZELRELAY_Shutdown();
  free(upstream);
  free(repository);
  return status == 1 ? 0 : 1;
}
