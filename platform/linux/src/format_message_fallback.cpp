// The system message text lives with the diagnostics code; this weak
// definition only keeps the layer linkable on its own.
#include "kxplatform/mf.h"

extern "C" __attribute__((weak)) DWORD FormatMessageW(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId,
                                                      DWORD dwLanguageId, LPWSTR lpBuffer, DWORD nSize,
                                                      va_list* Arguments) {
  SetLastError(ERROR_INVALID_PARAMETER);
  return 0;
}
