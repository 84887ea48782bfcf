/* Prints every status the library has a message for, as CODE TAB MESSAGE. */
#include <stdio.h>
#include <wchar.h>

#include "zelrelay.h"

int main(void) {
  wchar_t message[ZELRELAY_MESSAGE_CHARS];
  for (int32_t status = -1999; status < 1000; status++) {
    if (ZELRELAY_GetStatusMessage(message, status) <= 0) return 1;
    if (wcscmp(message, L"unknown status") != 0) printf("%d\t%ls\n", (int)status, message);
  }
  return 0;
}
