/*
 * bench_source.c - the benchmark's way in: keeps the event entry the
 * service hands it in Load and gives it to the benchmark program, whose
 * producer threads then submit exactly as a module's own threads would.
 * Subscribes to nothing.
 */
#define _GNU_SOURCE

#include "plugin_interface.h"
#include "event_record.h"
#include "../bench_shared.h"
#include "module_common.h"

static FlatPluginEventFn g_entry;
static BenchProbe g_probe;

EXPORT int32_t Load(void *inBlock, void *outBlock) {
    const _LoadParmsIn *in = (const _LoadParmsIn *)inBlock;
    _LoadParmsOut *out = (_LoadParmsOut *)outBlock;
    g_entry = in->eventEntry;
    g_probe.moduleId = BENCH_ID_SOURCE;
    out->moduleId = BENCH_ID_SOURCE;
    return 0;
}

EXPORT int32_t Unload(void *in, void *out) {
    (void)in;
    (void)out;
    g_entry = NULL;
    return 0;
}

EXPORT FlatPluginEventFn BenchSourceEntry(void) { return g_entry; }

EXPORT BenchProbe *BenchProbeOf(void) { return &g_probe; }
