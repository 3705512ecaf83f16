/* kelvar.h must compile as C as well: a wizard may be written in C. */
#include <windows.h>

#include "library/kelvar.h"

typedef int(KELVAR_CALL* ImapCall)(const char*, const char*, const char*, const char*, int, const char*, const char*,
                                   int, int, int, int);

int kelvarHeaderCheck(void) {
    ImapCall call = &IMap2XRV;
    return call != 0 && KELVAR_MIGRATED == 1 && KELVAR_NO_DIALOG == -1;
}
