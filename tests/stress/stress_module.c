/*
 * stress_module.c - the plug-in module of the stress test.
 *
 * Built against the two public headers only. Open starts `submitters`
 * threads that, until Close, submit as fast as the service takes them:
 * events with ID-stamped payloads to all, to the others or to one module;
 * counted streams run across their allowance and registered again; requests
 * under fresh handles, stopped at once or a little later; events without
 * payload; and releases of pointers the service never handed out (the module
 * frees its own block afterwards, so a service that freed it would free it
 * twice). A releaser thread gives back kept payloads a few milliseconds after
 * their delivery, some of them twice. A provider copy answers every request
 * until its handle is refused. A flooding copy also runs a thread that
 * submits events of 1 to 4096 bytes without pausing, from Open until Unload.
 *
 * Every submission, delivery, keep and release is recorded with the payload's
 * ID (stress_module.h); the test reads the records after the service stopped.
 * Anything the service must never do is counted as an anomaly, with the first
 * one described: a wrong result for a road, a payload whose bytes changed
 * between its submission, its delivery and its release, NULL data with a size.
 */
#define _GNU_SOURCE

#include <errno.h>
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "pluginhost/plugin_interface.h"
#include "tests/stress/stress_module.h"

#define SM_EXPORT __attribute__((visibility("default")))
#define SM_MAX_SUBMITTERS 8
#define SM_MAX_KEPT 65536
#define SM_ANSWERS_PER_READ 8
#define SM_PENDING_STOPS 4

typedef struct SmKept {
    void *ptr;
    uint32_t size;
    uint64_t id;
    uint64_t dueUs;
    int twice;
} SmKept;

static StressSetup g_setup;
static uint32_t g_id;
static FlatPluginEventFn g_entry;

/* g_lock guards everything below. Never held around eventEntry, except by
 * the releaser (a release never waits). */
static pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t g_cond = PTHREAD_COND_INITIALIZER;
static int g_running, g_stopping;
static uint8_t g_phase;
static uint32_t g_busy;
static StressRecord *g_records;
static size_t g_recordCount, g_recordCap;
static StressCounts g_counts;
static char g_firstAnomaly[256];
static SmKept g_kept[SM_MAX_KEPT];
static size_t g_keptCount;
static uint64_t g_answerSeq;
static pthread_t g_submitters[SM_MAX_SUBMITTERS];
static pthread_t g_releaser;
static int g_threadsStarted;
static pthread_t g_flooder;
static int g_flooderStarted, g_floodStop;
static char g_neverHandedOut[64];

/* ------------------------------------------------------------ utilities */

static uint64_t sm_now_us(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000000u + (uint64_t)ts.tv_nsec / 1000u;
}

static void sm_sleep_us(uint32_t us) {
    struct timespec ts;
    ts.tv_sec = us / 1000000u;
    ts.tv_nsec = (long)(us % 1000000u) * 1000L;
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

static uint32_t sm_rand(uint64_t *state) {
    uint64_t x = *state;
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    *state = x;
    return (uint32_t)(x >> 11);
}

/* REQUIRES g_lock. */
static void sm_anomaly_locked(const char *what, uint64_t id, int32_t value) {
    if (g_counts.anomalies++ == 0)
        snprintf(g_firstAnomaly, sizeof g_firstAnomaly, "module %u: %s (payload 0x%016llx, value %d)",
                 (unsigned)g_setup.index, what, (unsigned long long)id, (int)value);
}

static void sm_anomaly(const char *what, uint64_t id, int32_t value) {
    pthread_mutex_lock(&g_lock);
    sm_anomaly_locked(what, id, value);
    pthread_mutex_unlock(&g_lock);
}

/* REQUIRES g_lock. */
static void sm_record_locked(uint64_t id, uint8_t kind, uint8_t routing, uint8_t target) {
    if (g_recordCount == g_recordCap) {
        size_t cap = g_recordCap ? g_recordCap * 2 : 65536;
        StressRecord *grown = realloc(g_records, cap * sizeof *grown);
        if (grown == NULL) {
            sm_anomaly_locked("out of memory for records", id, 0);
            return;
        }
        g_records = grown;
        g_recordCap = cap;
    }
    StressRecord *r = &g_records[g_recordCount++];
    r->id = id;
    r->kind = kind;
    r->routing = routing;
    r->phase = g_phase;
    r->target = target;
}

static uint8_t sm_filler(uint64_t id, size_t i) { return (uint8_t)((id * 31u + i * 7u) ^ (i >> 3)); }

static unsigned char *sm_make_payload(uint64_t id, uint32_t size) {
    unsigned char *p = malloc(size);
    if (p == NULL) return NULL;
    StressPayloadHeader header = {STRESS_MAGIC, size, id};
    memcpy(p, &header, sizeof header);
    for (size_t i = sizeof header; i < size; ++i) p[i] = sm_filler(id, i);
    return p;
}

/* 1 when data is one of the stress payloads; *intact tells whether its bytes
 * are the ones it was made with. */
static int sm_parse(const void *data, uint32_t size, uint64_t *id, int *intact) {
    StressPayloadHeader header;
    if (data == NULL || size < sizeof header) return 0;
    memcpy(&header, data, sizeof header);
    if (header.magic != STRESS_MAGIC) return 0;
    *id = header.id;
    *intact = header.size == size;
    const unsigned char *p = data;
    for (size_t i = sizeof header; i < size && *intact; ++i) *intact = p[i] == sm_filler(header.id, i);
    return 1;
}

static int32_t sm_submit(const _EventParmsIn *in) {
    _EventParmsOut out;
    memset(&out, 0, sizeof out);
    out.size = sizeof out;
    out.version = 1;
    out.result = 999;
    if (g_entry == NULL) return 999;
    g_entry(in, &out);
    return out.result;
}

static _EventParmsIn sm_event(uint32_t source, uint32_t flags, uint32_t eventClass, void *data, uint32_t size) {
    _EventParmsIn in;
    memset(&in, 0, sizeof in);
    in.size = sizeof in;
    in.version = 1;
    in.sourceId = source;
    in.flags = flags;
    in.eventClass = eventClass;
    in.data = data;
    in.dataSize = size;
    return in;
}

/* Submits a stamped payload; records it when the service took it. */
static int32_t sm_send(uint64_t id, uint32_t size, _EventParmsIn in, uint8_t routing, uint8_t target,
                       int32_t expected) {
    unsigned char *payload = sm_make_payload(id, size);
    if (payload == NULL) return 999;
    in.data = payload;
    in.dataSize = size;
    const int32_t result = sm_submit(&in);
    pthread_mutex_lock(&g_lock);
    if (result == EVR_OK) {
        sm_record_locked(id, STRESS_SUBMITTED, routing, target);
        ++g_counts.submitted;
    } else {
        ++g_counts.refused;
    }
    /* Any event may find the queue full, or the service stopping. */
    if (result == EVR_NO_MEMORY)
        ++g_counts.queueFull;
    else if (result == EVR_STOPPING)
        ++g_counts.stopping;
    else if (result != expected)
        sm_anomaly_locked("a submission got a result its road cannot give", id, result);
    pthread_mutex_unlock(&g_lock);
    /* The service copied the payload: the module's own buffer stays its own. */
    free(payload);
    return result;
}

/* ----------------------------------------------------------- submitters */

typedef struct SmStream {
    uint32_t source;
    int registered;
    uint32_t sent;
} SmStream;

static void sm_counted(SmStream *stream, uint64_t *seq, uint32_t thread) {
    _EventParmsIn in = sm_event(stream->source, EVF_MASK0 | EVF_TO_ALL, EVC_COUNTED | 0x10u, NULL, 0);
    int32_t expected;
    if (!stream->registered) {
        EVENT_REGISTRATION(&in) = 1;
        expected = EVR_OK;
    } else {
        expected = stream->sent < COUNTED_EVENT_LIMIT ? EVR_OK : EVR_LIMIT;
    }
    const uint64_t id = ((uint64_t)(g_setup.index + 1) << 56) | ((uint64_t)thread << 48) | (*seq)++;
    const int32_t result = sm_send(id, 24, in, STRESS_COUNTED, 0, expected);
    pthread_mutex_lock(&g_lock);
    if (result == EVR_NO_MEMORY || result == EVR_STOPPING) {
        /* Not counted; a full queue also ends the registration. */
        stream->registered = 0;
    } else if (!stream->registered) {
        ++g_counts.registrations;
        stream->registered = 1;
        stream->sent = 0;
    } else if (expected == EVR_OK) {
        ++stream->sent;
        ++g_counts.countedOk;
    } else {
        ++g_counts.countedLimit;
        stream->registered = 0;
    }
    pthread_mutex_unlock(&g_lock);
    if (expected == EVR_LIMIT && result == EVR_LIMIT) {
        /* The source is forgotten: its next event is refused until it registers again. */
        _EventParmsIn again = sm_event(stream->source, EVF_MASK0, EVC_COUNTED | 0x10u, NULL, 0);
        const int32_t unregistered = sm_submit(&again);
        pthread_mutex_lock(&g_lock);
        ++g_counts.countedUnregistered;
        if (unregistered != EVR_UNREGISTERED)
            sm_anomaly_locked("a counted event past the allowance was not unregistered", 0, unregistered);
        pthread_mutex_unlock(&g_lock);
    }
}

static void sm_stop_handle(uint32_t handle) {
    _EventParmsIn in = sm_event(0, EVF_STOP, 0, NULL, 0);
    in.requestHandle = handle;
    const int32_t result = sm_submit(&in);
    pthread_mutex_lock(&g_lock);
    ++g_counts.stops;
    if (result != EVR_OK) sm_anomaly_locked("a stop was not answered EVR_OK", 0, result);
    pthread_mutex_unlock(&g_lock);
}

static void *sm_submitter(void *arg) {
    const uint32_t thread = (uint32_t)(uintptr_t)arg;
    uint64_t rng = 0x9E3779B97F4A7C15ull ^ ((uint64_t)g_setup.seed << 20) ^ ((uint64_t)g_setup.index << 8) ^ thread;
    uint64_t seq = 0;
    uint32_t requests = 0;
    SmStream stream = {g_id | (thread + 1u), 0, 0};
    uint32_t pending[SM_PENDING_STOPS];
    uint64_t pendingDue[SM_PENDING_STOPS];
    size_t pendingCount = 0;

    for (;;) {
        const uint64_t now = sm_now_us();
        for (size_t i = 0; i < pendingCount;) {
            if (pendingDue[i] <= now) {
                sm_stop_handle(pending[i]);
                pending[i] = pending[--pendingCount];
                pendingDue[i] = pendingDue[pendingCount];
            } else {
                ++i;
            }
        }
        pthread_mutex_lock(&g_lock);
        if (!g_running || g_stopping) {
            pthread_mutex_unlock(&g_lock);
            while (pendingCount > 0) sm_stop_handle(pending[--pendingCount]);
            pthread_mutex_lock(&g_lock);
            --g_busy;
            pthread_cond_broadcast(&g_cond);
            while (!g_running && !g_stopping) pthread_cond_wait(&g_cond, &g_lock);
            const int stopping = g_stopping;
            if (!stopping) ++g_busy;
            pthread_mutex_unlock(&g_lock);
            if (stopping) return NULL;
            continue;
        }
        pthread_mutex_unlock(&g_lock);

        const uint32_t action = sm_rand(&rng) % 100;
        const uint64_t id = ((uint64_t)(g_setup.index + 1) << 56) | ((uint64_t)thread << 48) | seq;
        if (action < 40) {
            ++seq;
            const uint32_t size = sizeof(StressPayloadHeader) + sm_rand(&rng) % 500;
            const uint32_t how = sm_rand(&rng) % 3;
            if (how == 0) {
                sm_send(id, size, sm_event(g_id, EVF_TO_ALL, 0x10u, NULL, 0), STRESS_TO_ALL, 0, EVR_OK);
            } else if (how == 1) {
                sm_send(id, size, sm_event(g_id, EVF_TO_OTHERS, 0x10u, NULL, 0), STRESS_TO_OTHERS, 0, EVR_OK);
            } else {
                const uint32_t target = sm_rand(&rng) % g_setup.moduleCount;
                sm_send(id, size, sm_event(g_id, EVF_MASK1, STRESS_ROUTED_CLASS(target), NULL, 0), STRESS_ROUTED,
                        (uint8_t)target, EVR_OK);
            }
        } else if (action < 60) {
            for (int i = 0; i < 16; ++i) sm_counted(&stream, &seq, thread);
        } else if (action < 72) {
            const uint32_t handle = ((g_setup.index + 1u) << 24) | (thread << 20) | (++requests & 0xFFFFFu);
            char text[32];
            const int length = snprintf(text, sizeof text, "request %08x", (unsigned)handle);
            _EventParmsIn in = sm_event(0, EVF_MASK1, STRESS_PROVIDER_CLASS, text, (uint32_t)length);
            in.requestHandle = handle;
            const int32_t result = sm_submit(&in);
            pthread_mutex_lock(&g_lock);
            ++g_counts.requests;
            if (result != EVR_OK) sm_anomaly_locked("a request was not answered EVR_OK", 0, result);
            pthread_mutex_unlock(&g_lock);
            if (sm_rand(&rng) % 2 == 0 || pendingCount == SM_PENDING_STOPS) {
                sm_stop_handle(handle);
            } else {
                pending[pendingCount] = handle;
                pendingDue[pendingCount++] = sm_now_us() + sm_rand(&rng) % 3000;
            }
        } else if (action < 80) {
            /* No payload: NULL with a size, or a pointer with size 0. */
            _EventParmsIn in = sm_event(g_id, EVF_TO_ALL, 0x10u, NULL, 1 + sm_rand(&rng) % 64);
            if (sm_rand(&rng) % 2) {
                in.data = g_neverHandedOut;
                in.dataSize = 0;
            }
            const int32_t result = sm_submit(&in);
            pthread_mutex_lock(&g_lock);
            ++g_counts.nullEvents;
            if (result == EVR_NO_MEMORY)
                ++g_counts.queueFull;
            else if (result == EVR_STOPPING)
                ++g_counts.stopping;
            else if (result != EVR_OK)
                sm_anomaly_locked("an event without payload was refused", 0, result);
            pthread_mutex_unlock(&g_lock);
        } else if (action < 84) {
            /* Pointers the service never handed out, given back as if kept. */
            char onStack[32];
            char *own = malloc(48);
            void *pointers[3] = {g_neverHandedOut, onStack, own};
            for (int i = 0; i < 3; ++i) {
                _EventParmsIn in = sm_event(g_id, EVF_RELEASE, 0, pointers[i], 32);
                const int32_t result = sm_submit(&in);
                pthread_mutex_lock(&g_lock);
                ++g_counts.unknownReleases;
                if (result != EVR_OK) sm_anomaly_locked("a release was not answered EVR_OK", 0, result);
                pthread_mutex_unlock(&g_lock);
            }
            free(own);
        } else {
            sm_sleep_us(50 + sm_rand(&rng) % 200);
        }
        sm_sleep_us(100);
    }
}

/* --------------------------------------------------------------- flooder */

/* Submits without ever pausing while the test lets the module run, from
 * Open until Unload: through the stop, when the service refuses. */
static void *sm_flooder(void *arg) {
    (void)arg;
    uint64_t rng = 0xF100D00Dull ^ ((uint64_t)g_setup.seed << 16);
    uint64_t seq = 0;
    for (;;) {
        pthread_mutex_lock(&g_lock);
        if (!g_running && !g_floodStop) {
            --g_busy;
            pthread_cond_broadcast(&g_cond);
            while (!g_running && !g_floodStop) pthread_cond_wait(&g_cond, &g_lock);
            ++g_busy;
        }
        const int stop = g_floodStop;
        pthread_mutex_unlock(&g_lock);
        if (stop) break;
        const uint64_t id = ((uint64_t)(g_setup.index + 1) << 56) | (0xFEull << 48) | seq++;
        const uint32_t size = 1 + sm_rand(&rng) % 4096;
        const uint32_t target = sm_rand(&rng) % g_setup.moduleCount;
        const int toAll = sm_rand(&rng) % 2;
        _EventParmsIn in = toAll ? sm_event(g_id, EVF_TO_ALL, 0x10u, NULL, 0)
                                 : sm_event(g_id, EVF_MASK1, STRESS_ROUTED_CLASS(target), NULL, 0);
        /* Payloads too small for the header travel as foreign bytes. */
        if (size < sizeof(StressPayloadHeader)) {
            unsigned char bytes[sizeof(StressPayloadHeader)];
            memset(bytes, 0x5A, sizeof bytes);
            in.data = bytes;
            in.dataSize = size;
            const int32_t result = sm_submit(&in);
            pthread_mutex_lock(&g_lock);
            if (result == EVR_NO_MEMORY) ++g_counts.queueFull;
            else if (result == EVR_STOPPING) ++g_counts.stopping;
            else if (result != EVR_OK) sm_anomaly_locked("a flooded event got a result its road cannot give", id, result);
            pthread_mutex_unlock(&g_lock);
            continue;
        }
        if (sm_send(id, size, in, toAll ? STRESS_TO_ALL : STRESS_ROUTED, (uint8_t)target, EVR_OK) == EVR_OK) {
            pthread_mutex_lock(&g_lock);
            ++g_counts.flooded;
            pthread_mutex_unlock(&g_lock);
        }
    }
    pthread_mutex_lock(&g_lock);
    --g_busy;
    pthread_cond_broadcast(&g_cond);
    pthread_mutex_unlock(&g_lock);
    return NULL;
}

/* ------------------------------------------------------------- releaser */

static void *sm_releaser(void *arg) {
    (void)arg;
    pthread_mutex_lock(&g_lock);
    for (;;) {
        const uint64_t now = sm_now_us();
        for (size_t i = 0; i < g_keptCount;) {
            if (!g_stopping && g_kept[i].dueUs > now) {
                ++i;
                continue;
            }
            SmKept item = g_kept[i];
            g_kept[i] = g_kept[--g_keptCount];
            uint64_t id = 0;
            int intact = 0;
            if (!sm_parse(item.ptr, item.size, &id, &intact) || !intact || id != item.id)
                sm_anomaly_locked("a kept payload changed before it was given back", item.id, 0);
            _EventParmsIn in = sm_event(g_id, EVF_RELEASE, 0, item.ptr, item.size);
            for (int t = 0; t < (item.twice ? 2 : 1); ++t) {
                const int32_t result = sm_submit(&in);
                if (result != EVR_OK) sm_anomaly_locked("a release was not answered EVR_OK", item.id, result);
            }
            if (item.twice) ++g_counts.doubleReleases;
            ++g_counts.released;
            sm_record_locked(item.id, STRESS_RELEASED, 0, 0);
        }
        if (g_stopping && g_keptCount == 0) break;
        pthread_mutex_unlock(&g_lock);
        sm_sleep_us(200);
        pthread_mutex_lock(&g_lock);
    }
    pthread_mutex_unlock(&g_lock);
    return NULL;
}

/* ------------------------------------------------------------ deliveries */

static uint32_t sm_delivery(void *data, uint32_t size, uint8_t how) {
    if (data == NULL) {
        if (size != 0) sm_anomaly("a delivery has NULL data with a size", 0, (int32_t)size);
        return 0;
    }
    if (size == 0) {
        sm_anomaly("a delivery has data with size 0", 0, 0);
        return 0;
    }
    uint64_t id = 0;
    int intact = 0;
    if (!sm_parse(data, size, &id, &intact)) {
        pthread_mutex_lock(&g_lock);
        ++g_counts.foreignDeliveries; /* the service's own documents and notices */
        pthread_mutex_unlock(&g_lock);
        return 0;
    }
    uint32_t keep = 0;
    pthread_mutex_lock(&g_lock);
    ++g_counts.delivered;
    if (!intact) sm_anomaly_locked("a delivered payload is not the one submitted", id, (int32_t)size);
    sm_record_locked(id, STRESS_DELIVERED, how, 0);
    const uint64_t mix = (id ^ g_id) * 0x9E3779B97F4A7C15ull;
    if ((mix >> 40) % 3 == 0 && g_keptCount < SM_MAX_KEPT) {
        keep = 1;
        SmKept *item = &g_kept[g_keptCount++];
        item->ptr = data;
        item->size = size;
        item->id = id;
        item->dueUs = sm_now_us() + (mix >> 20) % 5000;
        item->twice = g_setup.doubleRelease && (mix >> 50) % 5 == 0;
        ++g_counts.kept;
        sm_record_locked(id, STRESS_KEPT, how, 0);
    }
    pthread_mutex_unlock(&g_lock);
    return keep;
}

/* ---------------------------------------------------------- entry points */

SM_EXPORT int32_t Load(void *vin, void *vout) {
    const _LoadParmsIn *in = vin;
    _LoadParmsOut *out = vout;
    g_entry = in->eventEntry;
    out->moduleId = g_id;
    out->masks[1] = STRESS_ROUTED_CLASS(g_setup.index) | (g_setup.provider ? STRESS_PROVIDER_CLASS : 0u);
    out->hasReader = g_setup.provider ? 1 : 0;
    out->acceptsEvents = 1;
    return 0;
}

SM_EXPORT int32_t Open(void *vin, void *vout) {
    (void)vin;
    (void)vout;
    const uint32_t n = g_setup.submitters < SM_MAX_SUBMITTERS ? g_setup.submitters : SM_MAX_SUBMITTERS;
    pthread_mutex_lock(&g_lock);
    g_stopping = 0;
    g_busy += n;
    pthread_mutex_unlock(&g_lock);
    for (uint32_t t = 0; t < n; ++t) pthread_create(&g_submitters[t], NULL, sm_submitter, (void *)(uintptr_t)t);
    pthread_create(&g_releaser, NULL, sm_releaser, NULL);
    g_threadsStarted = (int)n + 1;
    if (g_setup.flood) {
        pthread_mutex_lock(&g_lock);
        g_floodStop = 0;
        ++g_busy;
        pthread_mutex_unlock(&g_lock);
        g_flooderStarted = pthread_create(&g_flooder, NULL, sm_flooder, NULL) == 0;
    }
    return 0;
}

SM_EXPORT int32_t Close(void *vin, void *vout) {
    (void)vin;
    (void)vout;
    pthread_mutex_lock(&g_lock);
    g_stopping = 1;
    pthread_cond_broadcast(&g_cond);
    pthread_mutex_unlock(&g_lock);
    if (g_threadsStarted > 0) {
        for (int t = 0; t < g_threadsStarted - 1; ++t) pthread_join(g_submitters[t], NULL);
        pthread_join(g_releaser, NULL);
        g_threadsStarted = 0;
    }
    return 0;
}

SM_EXPORT int32_t Unload(void *vin, void *vout) {
    (void)vin;
    (void)vout;
    if (g_flooderStarted) {
        pthread_mutex_lock(&g_lock);
        g_floodStop = 1;
        pthread_cond_broadcast(&g_cond);
        pthread_mutex_unlock(&g_lock);
        pthread_join(g_flooder, NULL);
        g_flooderStarted = 0;
    }
    return 0;
}

SM_EXPORT int32_t Read(void *vin, void *vout) {
    const _ReadParmsIn *in = vin;
    (void)vout;
    if (in->requestHandle == 0 || !g_setup.provider) return 0;
    pthread_mutex_lock(&g_lock);
    ++g_busy;
    pthread_mutex_unlock(&g_lock);
    for (int i = 0; i < SM_ANSWERS_PER_READ; ++i) {
        pthread_mutex_lock(&g_lock);
        const int stopping = g_stopping;
        const uint64_t id = ((uint64_t)(g_setup.index + 1) << 56) | (0xFFull << 48) | g_answerSeq++;
        pthread_mutex_unlock(&g_lock);
        if (stopping) break;
        _EventParmsIn answer = sm_event(g_id, EVF_TO_ALL, 0x20u, NULL, 0);
        answer.requestHandle = in->requestHandle;
        unsigned char *payload = sm_make_payload(id, 64);
        if (payload == NULL) break;
        answer.data = payload;
        answer.dataSize = 64;
        /* May wait here until the previous answer has been freed. */
        const int32_t result = sm_submit(&answer);
        free(payload);
        pthread_mutex_lock(&g_lock);
        if (result == EVR_OK) {
            ++g_counts.answers;
            sm_record_locked(id, STRESS_SUBMITTED, STRESS_ANSWER, 0);
        } else {
            ++g_counts.refusedAnswers;
            if (result == EVR_NO_MEMORY)
                ++g_counts.queueFull;
            else if (result != EVR_HANDLE_REFUSED)
                sm_anomaly_locked("an answer got a result its road cannot give", id, result);
        }
        pthread_mutex_unlock(&g_lock);
        if (result != EVR_OK) break;
    }
    pthread_mutex_lock(&g_lock);
    --g_busy;
    pthread_cond_broadcast(&g_cond);
    pthread_mutex_unlock(&g_lock);
    return 0;
}

SM_EXPORT int32_t Write(void *vin, void *vout) {
    const _WriteParmsIn *in = vin;
    _WriteParmsOut *out = vout;
    out->keep = sm_delivery(in->data, in->dataSize, 0);
    return 0;
}

SM_EXPORT int32_t IOCTL(void *vin, void *vout) {
    const _IOCTLParmsIn *in = vin;
    _IOCTLParmsOut *out = vout;
    if (in->code == IOCTL_EVENT_OTHERS || in->code == IOCTL_EVENT_ALL)
        out->keep = sm_delivery(in->data, in->dataSize, (uint8_t)in->code);
    return 0;
}

/* -------------------------------------------------------- test controls */

SM_EXPORT uint32_t StressModuleId(uint32_t index) { return 0x00300000u + index * 0x1000u; }

SM_EXPORT void StressConfigure(const StressSetup *setup) {
    g_setup = *setup;
    g_id = StressModuleId(setup->index);
}

SM_EXPORT void StressSetRunning(int running) {
    pthread_mutex_lock(&g_lock);
    g_running = running;
    pthread_cond_broadcast(&g_cond);
    pthread_mutex_unlock(&g_lock);
}

SM_EXPORT void StressSetPhase(uint8_t phase) {
    pthread_mutex_lock(&g_lock);
    g_phase = phase;
    pthread_mutex_unlock(&g_lock);
}

SM_EXPORT uint32_t StressBusy(void) {
    pthread_mutex_lock(&g_lock);
    const uint32_t busy = g_busy;
    pthread_mutex_unlock(&g_lock);
    return busy;
}

SM_EXPORT size_t StressKeptNow(void) {
    pthread_mutex_lock(&g_lock);
    const size_t kept = g_keptCount;
    pthread_mutex_unlock(&g_lock);
    return kept;
}

SM_EXPORT void StressGetCounts(StressCounts *counts) {
    pthread_mutex_lock(&g_lock);
    *counts = g_counts;
    pthread_mutex_unlock(&g_lock);
}

SM_EXPORT const StressRecord *StressRecords(size_t *count) {
    pthread_mutex_lock(&g_lock);
    *count = g_recordCount;
    const StressRecord *records = g_records;
    pthread_mutex_unlock(&g_lock);
    return records;
}

SM_EXPORT const char *StressFirstAnomaly(void) { return g_firstAnomaly; }
