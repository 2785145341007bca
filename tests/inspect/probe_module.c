/*
 * probe_module.c - module for the inspector's tests, built in several variants
 * (inspect_tests.cmake). Compile definitions pick the moduleId, Load's return
 * and error, mask 5, and what Load does: return, crash, never return, or
 * submit events. PROBE_NO_LOAD leaves only Open exported.
 */
#include <signal.h>
#include <string.h>
#include <unistd.h>

#include "pluginhost/plugin_interface.h"

#ifndef PROBE_ID
#define PROBE_ID 0x00100000u
#endif
#ifndef PROBE_RETURN
#define PROBE_RETURN 0
#endif
#ifndef PROBE_ERROR
#define PROBE_ERROR 0
#endif
#ifndef PROBE_MASK5
#define PROBE_MASK5 0x00000605u
#endif

#define PROBE_PLAIN 0
#define PROBE_CRASH 1
#define PROBE_HANG 2
#define PROBE_EVENTS 3
#ifndef PROBE_ACTION
#define PROBE_ACTION PROBE_PLAIN
#endif

/* Error codes that tell a test the caller did not behave like the service. */
#define BAD_INPUT_BLOCK 99
#define EVENT_NOT_OK 98

int32_t Open(void *in, void *out) {
    (void)in;
    (void)out;
    return 0;
}

#ifndef PROBE_NO_LOAD

static int outputIsZeroFilled(const _LoadParmsOut *out) {
    const unsigned char *bytes = (const unsigned char *)out;
    size_t i;
    for (i = offsetof(_LoadParmsOut, moduleId); i < sizeof(*out); ++i)
        if (bytes[i] != 0) return 0;
    return 1;
}

#if PROBE_ACTION == PROBE_EVENTS
/* One text event through the entry Load was given, one binary counted event
 * (longer than the inspector's preview) through the exported name. */
static int submitEvents(const _LoadParmsIn *in) {
    static const char text[] = "hello from Load";
    unsigned char bytes[40];
    _EventParmsIn event;
    _EventParmsOut result;
    size_t i;
    memset(&event, 0, sizeof(event));
    memset(&result, 0, sizeof(result));
    event.size = sizeof(event);
    event.version = 1;
    event.sourceId = PROBE_ID;
    event.flags = EVF_MASK1;
    event.eventClass = 0x42;
    event.requestHandle = 7;
    event.data = (void *)text;
    event.dataSize = sizeof(text) - 1;
    result.result = 999;
    in->eventEntry(&event, &result);
    if (result.result != EVR_OK) return 0;

    for (i = 0; i < sizeof(bytes); ++i) bytes[i] = (unsigned char)i;
    event.flags = EVF_MASK0;
    event.eventClass = EVC_COUNTED;
    event.requestHandle = 0;
    event.data = bytes;
    event.dataSize = sizeof(bytes);
    EVENT_REGISTRATION(&event) = 1;
    result.result = 999;
    FlatPluginEvent(&event, &result);
    return result.result == EVR_OK;
}
#endif

int32_t Load(void *inBlock, void *outBlock) {
    const _LoadParmsIn *in = (const _LoadParmsIn *)inBlock;
    _LoadParmsOut *out = (_LoadParmsOut *)outBlock;
    int k;
    if (in->size != sizeof(_LoadParmsIn) || in->version != 3 || in->core == NULL || in->eventEntry == NULL ||
        out->size != sizeof(_LoadParmsOut) || out->version != 1 || !outputIsZeroFilled(out)) {
        out->error = BAD_INPUT_BLOCK;
        return 0;
    }
    out->moduleId = PROBE_ID;
    for (k = 0; k < PLUGIN_MASK_COUNT; ++k) out->masks[k] = 0x100u * (uint32_t)(k + 1) + (uint32_t)k;
    out->masks[5] = PROBE_MASK5;
    out->ioctlOnLoad = 1;
    out->hasReader = 2;
    out->acceptsEvents = 3;
    out->error = PROBE_ERROR;
#if PROBE_ACTION == PROBE_CRASH
    raise(SIGSEGV);
#elif PROBE_ACTION == PROBE_HANG
    for (;;) pause();
#elif PROBE_ACTION == PROBE_EVENTS
    if (!submitEvents(in)) out->error = EVENT_NOT_OK;
#endif
    return PROBE_RETURN;
}

int32_t Unload(void *in, void *out) { return Open(in, out); }
int32_t Close(void *in, void *out) { return Open(in, out); }
int32_t Write(void *in, void *out) { return Open(in, out); }
int32_t IOCTL(void *in, void *out) { return Open(in, out); }

#endif /* PROBE_NO_LOAD */
