/*
 * bench_sink.c - a plain receiver: checks every Write it gets and keeps
 * nothing. Copies are named bench_sink_NN.so; sink 0 takes BENCH_CLASS_ONE
 * and BENCH_CLASS_ALL, every other sink BENCH_CLASS_ALL only. Write runs on
 * the service's dispatch thread.
 */
#define _GNU_SOURCE

#include "plugin_interface.h"
#include "event_record.h"
#include "../bench_shared.h"
#include "module_common.h"

static BenchProbe g_probe;
static uint8_t g_pattern[BENCH_MAX_PAYLOAD];

EXPORT int32_t Load(void *inBlock, void *outBlock) {
    _LoadParmsOut *out = (_LoadParmsOut *)outBlock;
    long number = bench_module_number((const void *)&Load);
    (void)inBlock;
    if (number < 0 || number > 255) {
        out->error = 1;
        return -1;
    }
    bench_fill_pattern(g_pattern, BENCH_MAX_PAYLOAD);
    g_probe.pattern = g_pattern;
    g_probe.index = (uint32_t)number;
    g_probe.moduleId = BENCH_ID_SINK_BASE + (uint32_t)number;
    out->moduleId = g_probe.moduleId;
    out->masks[1] = BENCH_CLASS_ALL | (number == 0 ? BENCH_CLASS_ONE : 0u);
    out->acceptsEvents = 1;
    return 0;
}

EXPORT int32_t Write(void *inBlock, void *outBlock) {
    const _WriteParmsIn *in = (const _WriteParmsIn *)inBlock;
    (void)outBlock; /* keep stays 0 */
    bench_check_delivery(&g_probe, in->extension, in->data, in->dataSize);
    return 0;
}

EXPORT BenchProbe *BenchProbeOf(void) { return &g_probe; }
