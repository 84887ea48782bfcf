/* One mirror through the installed library, from start-up to the last
   release. usage: mirror UPSTREAM REPOSITORY */
#include <stdlib.h>
#include <zelrelay.h>

int main(int argc, char **argv) {
  wchar_t upstream[4096], repository[4096];
  if (argc != 3 || mbstowcs(upstream, argv[1], 4096) >= 4096 || mbstowcs(repository, argv[2], 4096) >= 4096) return 2;
  ZELRELAY_Product product = {{3, 4, -1, -1, -1, -1, {0, 0, 0}, 0}, NULL, 0}; /* c3t4, any version */
  ZELRELAY_Source source = {upstream, NULL, NULL, NULL};
  ZELRELAY_Information *information = NULL;
  ZELRELAY_Context context = NULL;
  int32_t status = ZELRELAY_Startup(0);
  if (status > 0) status = ZELRELAY_CreateContext(&context, repository);
  if (status > 0) {
    status = ZELRELAY_Duplicate(context, &product, 1, &source, 1, &information);
    if (information != NULL) ZELRELAY_DestroyData(information);
    ZELRELAY_DestroyContext(context);
  }
  ZELRELAY_Shutdown();
  return status == ZELRELAY_STATUS_OK ? 0 : 1;
}
