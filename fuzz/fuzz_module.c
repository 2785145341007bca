/*
 * fuzz_module.c - the plug-in module behind the submission fuzzer.
 *
 * Built against the two public headers only. Each copy keeps some of the
 * payloads delivered to it (decided by the payload's bytes, so an input
 * replays the same way), gives them back when told to, answers requests
 * under a handle as a provider, and may submit events from inside its own
 * deliveries. It checks what the service hands it and aborts (which the
 * fuzzer reports as a crash) when the service breaks its side:
 *   - a delivered payload is NULL exactly when its size is 0;
 *   - a kept payload still holds the bytes it had when it was kept (under
 *     AddressSanitizer a payload freed while kept is reported on that read);
 *   - blocks carry the sizes and versions the interface gives them;
 *   - an answer or echo gets a result its road can give.
 */
#define _GNU_SOURCE

#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "pluginhost/plugin_interface.h"
#include "fuzz/fuzz_module.h"

#define FM_EXPORT __attribute__((visibility("default")))
#define FM_MAX_KEPT 4096
#define FM_MAX_READS 8

typedef struct FmKept {
    void *ptr;
    uint32_t size;
    uint32_t sum;
} FmKept;

static FuzzModuleSetup g_setup;
static FlatPluginEventFn g_entry;

/* g_lock guards everything below. It is held around eventEntry calls; the
 * service holds none of its locks around this module's entry points. */
static pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
static FuzzModuleBehaviour g_behaviour;
static FmKept g_kept[FM_MAX_KEPT];
static size_t g_keptCount;
static void *g_stale;
static uint32_t g_activeReads;
static FuzzModuleStats g_stats;

static void fm_fail(const char *what) {
    fprintf(stderr, "fuzz_module 0x%08x: %s\n", (unsigned)g_setup.id, what);
    abort();
}

static uint32_t fm_sum(const void *data, uint32_t size) {
    const unsigned char *p = data;
    uint32_t h = 0x811c9dc5u;
    for (uint32_t i = 0; i < size; ++i) {
        h ^= p[i];
        h *= 0x01000193u;
    }
    return h;
}

static int32_t fm_submit(const _EventParmsIn *in) {
    _EventParmsOut out;
    memset(&out, 0, sizeof out);
    out.size = sizeof out;
    out.version = 1;
    out.result = 999;
    if (g_entry == NULL) return 999;
    if (g_entry(in, &out) != 0) fm_fail("eventEntry returned non-zero");
    return out.result;
}

static void fm_release_pointer(void *ptr, uint32_t size) {
    _EventParmsIn in;
    memset(&in, 0, sizeof in);
    in.size = sizeof in;
    in.version = 1;
    in.flags = EVF_RELEASE;
    in.data = ptr;
    in.dataSize = size;
    in.sourceId = g_setup.id;
    if (fm_submit(&in) != EVR_OK) fm_fail("a release was not answered EVR_OK");
}

/* REQUIRES g_lock. Checks kept payload i and gives it back `times` times. */
static void fm_release_locked(size_t i, uint32_t times) {
    FmKept item = g_kept[i];
    g_kept[i] = g_kept[--g_keptCount];
    if (fm_sum(item.ptr, item.size) != item.sum) fm_fail("a kept payload changed before it was given back");
    for (uint32_t t = 0; t < times; ++t) fm_release_pointer(item.ptr, item.size);
    g_stale = item.ptr;
    ++g_stats.releases;
}

/* A delivery through Write or IOCTL codes 2 and 3. Returns the keep word. */
static uint32_t fm_delivery(void *data, uint32_t size) {
    if ((data == NULL) != (size == 0)) fm_fail("delivered data and dataSize disagree");
    const uint32_t sum = data != NULL ? fm_sum(data, size) : 0;
    uint32_t keep = 0;
    pthread_mutex_lock(&g_lock);
    ++g_stats.deliveries;
    if (g_behaviour.releaseInDelivery && g_keptCount > 0) fm_release_locked(0, 1);
    if (((sum ^ g_setup.id) & 3u) < g_behaviour.keepLevel) {
        keep = 1;
        if (data != NULL && g_keptCount < FM_MAX_KEPT) {
            g_kept[g_keptCount].ptr = data;
            g_kept[g_keptCount].size = size;
            g_kept[g_keptCount].sum = sum;
            ++g_keptCount;
            ++g_stats.keeps;
        } else if (data != NULL) {
            keep = 0;
        }
    }
    if (g_behaviour.echoBudget > 0) {
        --g_behaviour.echoBudget;
        unsigned char echo[16];
        uint32_t echoSize = size < sizeof echo ? size : (uint32_t)sizeof echo;
        if (echoSize > 0) memcpy(echo, data, echoSize);
        _EventParmsIn in;
        memset(&in, 0, sizeof in);
        in.size = sizeof in;
        in.version = 1;
        in.sourceId = g_setup.id;
        in.flags = EVF_TO_OTHERS;
        in.eventClass = 0x40u;
        in.data = echoSize > 0 ? echo : NULL;
        in.dataSize = echoSize;
        const int32_t result = fm_submit(&in);
        if (result != EVR_OK && result != EVR_NO_MEMORY) fm_fail("an echo from a delivery was refused");
        ++g_stats.echoes;
    }
    pthread_mutex_unlock(&g_lock);
    return keep;
}

FM_EXPORT int32_t Load(void *vin, void *vout) {
    const _LoadParmsIn *in = vin;
    _LoadParmsOut *out = vout;
    if (in->version != 3 || out->size != sizeof(_LoadParmsOut) || out->version != 1) fm_fail("bad Load blocks");
    g_entry = in->eventEntry;
    out->moduleId = g_setup.id;
    memcpy(out->masks, g_setup.masks, sizeof out->masks);
    out->hasReader = g_setup.hasReader;
    out->acceptsEvents = g_setup.acceptsEvents;
    return 0;
}

FM_EXPORT int32_t Unload(void *vin, void *vout) {
    (void)vin;
    (void)vout;
    return 0;
}

FM_EXPORT int32_t Open(void *vin, void *vout) {
    (void)vin;
    (void)vout;
    return 0;
}

FM_EXPORT int32_t Close(void *vin, void *vout) {
    (void)vin;
    (void)vout;
    pthread_mutex_lock(&g_lock);
    while (g_keptCount > 0) fm_release_locked(g_keptCount - 1, 1);
    pthread_mutex_unlock(&g_lock);
    return 0;
}

FM_EXPORT int32_t Read(void *vin, void *vout) {
    const _ReadParmsIn *in = vin;
    (void)vout;
    if (in->size != sizeof(_ReadParmsIn) || in->version != 1 || in->async != 1) fm_fail("bad Read block");
    /* The request's payload copy is private to this call: all of it is readable. */
    const uint32_t requestSum = in->data != NULL ? fm_sum(in->data, in->dataSize) : 0;
    pthread_mutex_lock(&g_lock);
    ++g_stats.reads;
    const uint32_t count = g_behaviour.provideCount;
    const int provide = in->requestHandle != 0 && count > 0 && g_activeReads < FM_MAX_READS;
    if (provide) ++g_activeReads;
    pthread_mutex_unlock(&g_lock);
    if (!provide) return 0;

    for (uint32_t i = 0; i < count; ++i) {
        char answer[48];
        const int length = snprintf(answer, sizeof answer, "answer %08x %u %u %08x", (unsigned)g_setup.id,
                                    (unsigned)in->requestHandle, (unsigned)i, (unsigned)requestSum);
        _EventParmsIn event;
        memset(&event, 0, sizeof event);
        event.size = sizeof event;
        event.version = 1;
        event.sourceId = g_setup.id;
        event.requestHandle = in->requestHandle;
        event.flags = EVF_TO_ALL;
        event.eventClass = 0x20u;
        event.data = answer;
        event.dataSize = (uint32_t)length;
        /* The pacing wait may block here until the previous answer is freed. */
        const int32_t result = fm_submit(&event);
        pthread_mutex_lock(&g_lock);
        if (result == EVR_OK)
            ++g_stats.answers;
        else
            ++g_stats.refusedAnswers;
        pthread_mutex_unlock(&g_lock);
        if (result == EVR_HANDLE_REFUSED || result == EVR_NO_MEMORY) break;
        if (result != EVR_OK) fm_fail("an answer got a result its road cannot give");
    }
    pthread_mutex_lock(&g_lock);
    --g_activeReads;
    pthread_mutex_unlock(&g_lock);
    return 0;
}

FM_EXPORT int32_t Write(void *vin, void *vout) {
    const _WriteParmsIn *in = vin;
    _WriteParmsOut *out = vout;
    if (in->size != sizeof(_WriteParmsIn) || in->version != 1) fm_fail("bad Write in-block");
    if (out->size != sizeof(_WriteParmsOut) || out->version != 1 || out->keep != 0) fm_fail("bad Write out-block");
    out->keep = fm_delivery(in->data, in->dataSize);
    return 0;
}

FM_EXPORT int32_t IOCTL(void *vin, void *vout) {
    const _IOCTLParmsIn *in = vin;
    _IOCTLParmsOut *out = vout;
    if (in->size != sizeof(_IOCTLParmsIn) || in->version != 1) fm_fail("bad IOCTL in-block");
    if (in->code != IOCTL_EVENT_OTHERS && in->code != IOCTL_EVENT_ALL) fm_fail("unexpected IOCTL code");
    if (in->argSize != 16 || out->size != sizeof(_IOCTLParmsOut) || out->keep != 0) fm_fail("bad IOCTL blocks");
    out->keep = fm_delivery(in->data, in->dataSize);
    return 0;
}

/* ------------------------------------------------------- fuzzer controls */

FM_EXPORT void FuzzModuleConfigure(const FuzzModuleSetup *setup) { g_setup = *setup; }

FM_EXPORT void FuzzModuleSetBehaviour(const FuzzModuleBehaviour *behaviour) {
    pthread_mutex_lock(&g_lock);
    g_behaviour = *behaviour;
    if (g_behaviour.keepLevel > 4) g_behaviour.keepLevel = 4;
    pthread_mutex_unlock(&g_lock);
}

FM_EXPORT int FuzzModuleRelease(uint32_t index, uint32_t times) {
    pthread_mutex_lock(&g_lock);
    const int any = g_keptCount > 0;
    if (any) fm_release_locked(index % g_keptCount, times);
    pthread_mutex_unlock(&g_lock);
    return any;
}

FM_EXPORT size_t FuzzModuleReleaseAll(void) {
    size_t n = 0;
    pthread_mutex_lock(&g_lock);
    while (g_keptCount > 0) {
        fm_release_locked(g_keptCount - 1, 1);
        ++n;
    }
    pthread_mutex_unlock(&g_lock);
    return n;
}

FM_EXPORT size_t FuzzModuleCheckKept(int (*check)(void *ptr, uint32_t size, void *ctx), void *ctx) {
    size_t failures = 0;
    pthread_mutex_lock(&g_lock);
    for (size_t i = 0; i < g_keptCount; ++i)
        if (!check(g_kept[i].ptr, g_kept[i].size, ctx)) ++failures;
    pthread_mutex_unlock(&g_lock);
    return failures;
}

FM_EXPORT void *FuzzModuleStale(void) {
    pthread_mutex_lock(&g_lock);
    void *stale = g_stale;
    pthread_mutex_unlock(&g_lock);
    return stale;
}

FM_EXPORT void *FuzzModuleInterior(uint32_t index) {
    void *interior = NULL;
    pthread_mutex_lock(&g_lock);
    if (g_keptCount > 0) {
        const FmKept *item = &g_kept[index % g_keptCount];
        if (item->size > 1) interior = (char *)item->ptr + 1 + index % (item->size - 1);
    }
    pthread_mutex_unlock(&g_lock);
    return interior;
}

FM_EXPORT void FuzzModuleGetStats(FuzzModuleStats *stats) {
    pthread_mutex_lock(&g_lock);
    *stats = g_stats;
    pthread_mutex_unlock(&g_lock);
}

FM_EXPORT uint32_t FuzzModuleActiveReads(void) {
    pthread_mutex_lock(&g_lock);
    const uint32_t n = g_activeReads;
    pthread_mutex_unlock(&g_lock);
    return n;
}
