/* Compiled by the test suite as C99 and as C++17, for the 32-bit target and
 * for LP64: the headers' own layout assertions then run on both widths, and
 * the checks below pin what a module relies on in both languages. The 32-bit
 * variant is compiled only (this kernel may not run 32-bit programs). */
#include <string.h>

#include "plugin_interface.h"

#if UINTPTR_MAX == 0xFFFFFFFFu
SELVAR_STATIC_ASSERT(sizeof(void *) == 4, "the 32-bit layout is checked on a 32-bit target");
#define LAYOUT_EVENT_SIZE 184
#define LAYOUT_WRITE_SIZE 192
#else
#define LAYOUT_EVENT_SIZE 192
#define LAYOUT_WRITE_SIZE 200
#endif

SELVAR_STATIC_ASSERT(sizeof(_EventParmsIn) == LAYOUT_EVENT_SIZE, "event record size");
SELVAR_STATIC_ASSERT(sizeof(_WriteParmsIn) == LAYOUT_WRITE_SIZE, "write block size");
SELVAR_STATIC_ASSERT(sizeof(_WriteParmsIn) - 16 == sizeof(_EventParmsIn) - 8,
                     "write block from byte 16 is the event record from byte 8");
SELVAR_STATIC_ASSERT(EVF_MASK8 == 0x400u && EVF_TO_ALL == 0x800u && EVF_STOP == 0x1000u, "flag values");
SELVAR_STATIC_ASSERT(EVR_NO_MEMORY == -1 && EVR_THROTTLED == 5, "result codes");
SELVAR_STATIC_ASSERT(ENTRY_IOCTL == 7 && ENTRY_COUNT == 8, "entry indexes");

static int32_t sampleEntry(void *in, void *out) {
    (void)in;
    (void)out;
    return 0;
}

int main(void) {
    static const char *const names[ENTRY_COUNT] = PLUGIN_ENTRY_NAMES;
    _EventParmsIn event;
    PluginEntryPoint entry = sampleEntry;
    memset(&event, 0, sizeof(event));
    EVENT_REGISTRATION(&event) = 1;
    return (names[ENTRY_LOAD][0] == 'L' && event.extension[18] == 1 && entry(0, 0) == 0) ? 0 : 1;
}
