/*
 * bench_tiny.c - the start-up module: copies named bench_tiny_NNN.so take
 * the ID BENCH_ID_TINY_BASE + NNN in Load, and Open returns NNN + 1 so that
 * whoever opened a copy can tell it was that copy's Open that ran.
 */
#define _GNU_SOURCE

#include "plugin_interface.h"
#include "event_record.h"
#include "../bench_shared.h"
#include "module_common.h"

static long g_number = -1;

EXPORT int32_t Load(void *inBlock, void *outBlock) {
    _LoadParmsOut *out = (_LoadParmsOut *)outBlock;
    (void)inBlock;
    g_number = bench_module_number((const void *)&Load);
    if (g_number < 0 || g_number > 0xFFFF) {
        out->error = 1;
        return -1;
    }
    out->moduleId = BENCH_ID_TINY_BASE + (uint32_t)g_number;
    return 0;
}

EXPORT int32_t Open(void *in, void *out) {
    (void)in;
    (void)out;
    return (int32_t)(g_number + 1);
}

EXPORT int32_t Close(void *in, void *out) {
    (void)in;
    (void)out;
    return 0;
}

EXPORT int32_t Unload(void *in, void *out) {
    (void)in;
    (void)out;
    return 0;
}
