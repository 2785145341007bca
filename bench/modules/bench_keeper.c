/*
 * bench_keeper.c - a receiver that keeps every payload and releases it later
 * from a releaser thread of its own (started in Open, joined in Close).
 * Copies are named bench_keeper_N.so and take BENCH_CLASS_KEEP; keeper 0 also
 * takes BENCH_CLASS_STREAM, the reader's provider answers. A release is
 * {flags EVF_RELEASE, data = the kept pointer, sourceId = own ID}.
 */
#define _GNU_SOURCE

#include "plugin_interface.h"
#include "event_record.h"
#include "../bench_shared.h"
#include "../keeper_queue.h"
#include "module_common.h"

static BenchProbe g_probe;
static uint8_t g_pattern[BENCH_MAX_PAYLOAD];
static FlatPluginEventFn g_entry;
static BenchKeeper g_keeper;

static int releaseToService(void *context, void *payload, uint32_t size) {
    _EventParmsIn in;
    _EventParmsOut out;
    (void)context;
    memset(&in, 0, sizeof in);
    memset(&out, 0, sizeof out);
    in.size = sizeof in;
    in.version = 1;
    in.flags = EVF_RELEASE;
    in.data = payload;
    in.dataSize = size;
    in.sourceId = g_probe.moduleId;
    out.size = sizeof out;
    out.version = 1;
    out.result = 999;
    g_entry(&in, &out);
    return out.result == EVR_OK ? 0 : -1;
}

EXPORT int32_t Load(void *inBlock, void *outBlock) {
    const _LoadParmsIn *in = (const _LoadParmsIn *)inBlock;
    _LoadParmsOut *out = (_LoadParmsOut *)outBlock;
    long number = bench_module_number((const void *)&Load);
    if (number < 0 || number > 255) {
        out->error = 1;
        return -1;
    }
    g_entry = in->eventEntry;
    bench_fill_pattern(g_pattern, BENCH_MAX_PAYLOAD);
    g_probe.pattern = g_pattern;
    g_probe.index = (uint32_t)number;
    g_probe.moduleId = BENCH_ID_KEEPER_BASE + (uint32_t)number;
    out->moduleId = g_probe.moduleId;
    out->masks[1] = BENCH_CLASS_KEEP | (number == 0 ? BENCH_CLASS_STREAM : 0u);
    out->acceptsEvents = 1;
    return 0;
}

EXPORT int32_t Open(void *in, void *out) {
    (void)in;
    (void)out;
    return bench_keeper_start(&g_keeper, &g_probe, releaseToService, NULL);
}

EXPORT int32_t Close(void *in, void *out) {
    (void)in;
    (void)out;
    bench_keeper_stop(&g_keeper);
    return 0;
}

EXPORT int32_t Write(void *inBlock, void *outBlock) {
    const _WriteParmsIn *in = (const _WriteParmsIn *)inBlock;
    _WriteParmsOut *out = (_WriteParmsOut *)outBlock;
    bench_check_delivery(&g_probe, in->extension, in->data, in->dataSize);
    if (in->data != NULL && g_keeper.running) {
        bench_keeper_keep(&g_keeper, in->data, in->dataSize);
        out->keep = 1;
    }
    return 0;
}

EXPORT BenchProbe *BenchProbeOf(void) { return &g_probe; }
