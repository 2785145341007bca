/*
 * bench_reader.c - the reading module. A Read for a request with handle 0
 * counts the request (each sequence number exactly once) and returns; a Read
 * with a handle is a provider: it answers under that handle with numbered
 * payloads of the requested size (BENCH_CLASS_STREAM, for keeper 0) until an
 * answer is refused, which a stop of the handle brings about. The Read that
 * the service starts with no payload at start-up returns at once. Read runs
 * on a call thread of its own; several may run at the same time.
 */
#define _GNU_SOURCE

#include <stdlib.h>

#include "plugin_interface.h"
#include "event_record.h"
#include "../bench_shared.h"
#include "module_common.h"

#define READER_ANSWER_LIMIT 100000000ull

static BenchProbe g_probe;
static FlatPluginEventFn g_entry;
static uint8_t g_requestBits[BENCH_MAX_REQUESTS / 8];

static void provide(uint32_t handle, const BenchRequest *request) {
    _EventParmsIn in;
    _EventParmsOut out;
    uint64_t seq;
    uint32_t size = request->answerSize;
    uint32_t end = BENCH_END_LIMIT;
    uint8_t *payload = NULL;
    if (size > BENCH_MAX_PAYLOAD || (size != 0 && size < 16)) {
        bench_error(&g_probe, BENCH_ERR_ANSWER);
        __atomic_store_n(&g_probe.providerEnd, BENCH_END_ERROR, __ATOMIC_RELEASE);
        return;
    }
    if (size != 0) {
        payload = (uint8_t *)malloc(size);
        if (payload == NULL) {
            bench_error(&g_probe, BENCH_ERR_ANSWER);
            __atomic_store_n(&g_probe.providerEnd, BENCH_END_ERROR, __ATOMIC_RELEASE);
            return;
        }
        bench_fill_pattern(payload, size);
    }
    memset(&in, 0, sizeof in);
    in.size = sizeof in;
    in.version = 1;
    in.dataSize = size;
    in.data = payload;
    in.sourceId = BENCH_ID_READER;
    in.requestHandle = handle;
    in.flags = BENCH_FLAGS;
    in.eventClass = BENCH_CLASS_STREAM;
    for (seq = 0; seq < READER_ANSWER_LIMIT; ++seq) {
        bench_stamp_event(&in, payload, size, request->tag, 0, seq);
        memset(&out, 0, sizeof out);
        out.size = sizeof out;
        out.version = 1;
        out.result = 999;
        g_entry(&in, &out);
        if (out.result == EVR_OK) {
            bench_add64(&g_probe.answers, 1);
        } else if (out.result == EVR_HANDLE_REFUSED) {
            bench_add64(&g_probe.refusedAnswers, 1);
            end = BENCH_END_REFUSED;
            break;
        } else {
            bench_error(&g_probe, BENCH_ERR_ANSWER);
            end = BENCH_END_ERROR;
            break;
        }
    }
    free(payload);
    __atomic_store_n(&g_probe.providerEnd, end, __ATOMIC_RELEASE);
}

EXPORT int32_t Load(void *inBlock, void *outBlock) {
    const _LoadParmsIn *in = (const _LoadParmsIn *)inBlock;
    _LoadParmsOut *out = (_LoadParmsOut *)outBlock;
    g_entry = in->eventEntry;
    g_probe.moduleId = BENCH_ID_READER;
    g_probe.requestBits = g_requestBits;
    out->moduleId = BENCH_ID_READER;
    out->masks[1] = BENCH_CLASS_REQ_COUNT | BENCH_CLASS_REQ_STREAM;
    out->hasReader = 1;
    return 0;
}

EXPORT int32_t Read(void *inBlock, void *outBlock) {
    const _ReadParmsIn *in = (const _ReadParmsIn *)inBlock;
    BenchRequest request;
    (void)outBlock;
    if (in->data == NULL) return 0; /* the start-up Read */
    if (in->requestHandle == 0) {
        bench_count_read(&g_probe, in->data, in->dataSize);
        return 0;
    }
    if (in->dataSize != sizeof request) {
        bench_error(&g_probe, BENCH_ERR_REQUEST);
        return 0;
    }
    memcpy(&request, in->data, sizeof request);
    if (request.magic != BENCH_REQ_MAGIC) {
        bench_error(&g_probe, BENCH_ERR_REQUEST);
        return 0;
    }
    provide(in->requestHandle, &request);
    return 0;
}

EXPORT BenchProbe *BenchProbeOf(void) { return &g_probe; }
