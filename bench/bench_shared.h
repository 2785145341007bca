/*
 * bench_shared.h - what the benchmark program and its modules agree on.
 *
 * C99 and C++. The bench modules include the two public headers and this
 * file, nothing of the service's own. Each module keeps one BenchProbe that
 * the benchmark program finds with dlsym ("BenchProbeOf") and reads with
 * atomic loads; the same check functions run in the modules (through the
 * service) and in the benchmark's own baselines, so both sides do the same
 * work per delivery.
 *
 * Every queued event carries, in its extension at BENCH_EXT_OFFSET, a magic
 * word, the run's tag, the producer index and the producer's sequence number.
 * A payload of 16 bytes or more starts with a stamp of those three and ends
 * with its complement; the bytes between follow bench_pattern_byte(). A
 * receiver counts an error for a wrong record, a gap or a repeat in a
 * producer's sequence, a wrong size, a wrong stamp, and (on the events it is
 * told to compare in full) a single wrong byte.
 */
#ifndef SELVAR_BENCH_SHARED_H
#define SELVAR_BENCH_SHARED_H

#include <stdint.h>
#include <string.h>

#include "event_record.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Module IDs: a base plus the number in the module's file name. */
#define BENCH_ID_SOURCE 0x00710001u
#define BENCH_ID_SINK_BASE 0x00720000u   /* bench_sink_NN.so */
#define BENCH_ID_TINY_BASE 0x00730000u   /* bench_tiny_NNN.so */
#define BENCH_ID_KEEPER_BASE 0x00740000u /* bench_keeper_N.so */
#define BENCH_ID_READER 0x00750001u

/* Classes, all routed with EVF_MASK1 (mask index 1). No demo module and no
 * event of the service itself uses mask 1. */
#define BENCH_FLAGS EVF_MASK1
#define BENCH_CLASS_ONE 0x00010000u      /* sink 00 only */
#define BENCH_CLASS_ALL 0x00020000u      /* every sink */
#define BENCH_CLASS_KEEP 0x00040000u     /* every keeper */
#define BENCH_CLASS_STREAM 0x00080000u   /* keeper 0: the provider's answers */
#define BENCH_CLASS_REQ_COUNT 0x00100000u  /* request road: the reader counts its Read */
#define BENCH_CLASS_REQ_STREAM 0x00200000u /* request road: the reader provides answers */

#define BENCH_MAX_PRODUCERS 4
#define BENCH_MAX_PAYLOAD 65536u
#define BENCH_EXT_OFFSET 64
#define BENCH_EXT_MAGIC 0x48434E42u /* "BNCH" */
#define BENCH_REQ_MAGIC 0x51434E42u /* "BNCQ" */
#define BENCH_MAX_REQUESTS (1u << 20)

/* First error seen by a probe (0: none). */
enum {
    BENCH_ERR_NONE = 0,
    BENCH_ERR_RECORD = 1,   /* magic, tag or producer index wrong */
    BENCH_ERR_ORDER = 2,    /* sequence gap or repeat */
    BENCH_ERR_SIZE = 3,     /* dataSize or data pointer wrong */
    BENCH_ERR_STAMP = 4,    /* payload head or tail stamp wrong */
    BENCH_ERR_BYTES = 5,    /* payload body differs from the pattern */
    BENCH_ERR_RELEASE = 6,  /* a release was refused, or the kept payload changed */
    BENCH_ERR_REQUEST = 7,  /* request payload wrong or repeated */
    BENCH_ERR_ANSWER = 8    /* a provider answer got an unexpected result */
};

/* How a provider's Read ended. */
enum { BENCH_END_NONE = 0, BENCH_END_REFUSED = 1, BENCH_END_ERROR = 2, BENCH_END_LIMIT = 3 };

typedef struct BenchProbe {
    /* Identity, set by the module in Load. */
    uint32_t moduleId;
    uint32_t index;
    /* Run settings, written by the benchmark while nothing is in flight. */
    uint32_t runTag;
    uint32_t payloadSize;
    uint32_t producers;
    uint32_t checkEvery; /* compare in full the events whose seq % checkEvery == checkSlot */
    uint32_t checkSlot;
    uint32_t streamSize; /* provider: answer payload size */
    const uint8_t *pattern; /* BENCH_MAX_PAYLOAD bytes of bench_pattern_byte() */
    uint8_t *requestBits;   /* reader: one bit per request sequence number */
    char pad0[64];
    /* Written by the delivering thread only. */
    uint64_t next[BENCH_MAX_PRODUCERS]; /* next expected sequence per producer */
    uint64_t delivered;
    uint64_t fullChecks;
    uint64_t errors;
    uint32_t firstError;
    uint32_t pad1;
    char pad2[64];
    /* Keepers: written by the releaser thread. */
    uint64_t released;
    /* Reader: written by call threads (atomic adds). */
    uint64_t reads;
    uint64_t answers;       /* answers admitted (result EVR_OK) */
    uint64_t refusedAnswers;
    uint32_t providerEnd;   /* BENCH_END_* of the last provider Read */
    uint32_t pad3;
} BenchProbe;

typedef BenchProbe *(*BenchProbeFn)(void);

/* ---- small helpers, the same in modules and benchmark ---- */

static inline uint64_t bench_load64(const uint64_t *p) { return __atomic_load_n(p, __ATOMIC_ACQUIRE); }
static inline void bench_store64(uint64_t *p, uint64_t v) { __atomic_store_n(p, v, __ATOMIC_RELEASE); }
static inline void bench_add64(uint64_t *p, uint64_t v) { __atomic_fetch_add(p, v, __ATOMIC_ACQ_REL); }

static inline uint8_t bench_pattern_byte(uint32_t i) { return (uint8_t)(i * 131u + (i >> 8) * 7u + 17u); }

static inline void bench_fill_pattern(uint8_t *buffer, uint32_t size) {
    uint32_t i;
    for (i = 0; i < size; ++i) buffer[i] = bench_pattern_byte(i);
}

static inline uint64_t bench_stamp(uint32_t tag, uint32_t producer, uint64_t seq) {
    return (seq * 0x9E3779B97F4A7C15ull) ^ ((uint64_t)tag << 32) ^ ((uint64_t)producer << 56) ^ 0x5AC3u;
}

/* Any thread may count an error; the first one's code is kept. */
static inline void bench_error(BenchProbe *p, uint32_t code) {
    uint32_t none = 0;
    __atomic_compare_exchange_n(&p->firstError, &none, code, 0, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE);
    __atomic_fetch_add(&p->errors, 1, __ATOMIC_ACQ_REL);
}

/* The producer side: writes the extension fields and the payload's stamps
 * into a record whose payload buffer already holds the pattern. */
static inline void bench_stamp_event(_EventParmsIn *in, uint8_t *payload, uint32_t size, uint32_t tag,
                                     uint32_t producer, uint64_t seq) {
    uint32_t words[4];
    uint8_t *ext = in->extension + BENCH_EXT_OFFSET;
    words[0] = BENCH_EXT_MAGIC;
    words[1] = tag;
    words[2] = producer;
    words[3] = 0;
    memcpy(ext, words, sizeof words);
    memcpy(ext + 16, &seq, sizeof seq);
    if (size >= 16) {
        uint64_t stamp = bench_stamp(tag, producer, seq);
        uint64_t tail = ~stamp;
        memcpy(payload, &stamp, 8);
        memcpy(payload + size - 8, &tail, 8);
    }
}

/* Reads the producer index and sequence number from a record's extension;
 * 0 when the record is not one of this run's. */
static inline int bench_read_ext(const BenchProbe *p, const uint8_t *extension, uint32_t *producer, uint64_t *seq) {
    uint32_t words[4];
    const uint8_t *ext = extension + BENCH_EXT_OFFSET;
    memcpy(words, ext, sizeof words);
    memcpy(seq, ext + 16, sizeof *seq);
    *producer = words[2];
    return words[0] == BENCH_EXT_MAGIC && words[1] == p->runTag && words[2] < p->producers;
}

/* One delivery: extension fields, order per producer, size, stamps, and the
 * full body on this receiver's share of the events. Called only from the one
 * thread that delivers to this receiver. */
static inline void bench_check_delivery(BenchProbe *p, const uint8_t *extension, const void *data, uint32_t size) {
    uint32_t producer;
    uint64_t seq;
    if (!bench_read_ext(p, extension, &producer, &seq)) {
        bench_error(p, BENCH_ERR_RECORD);
        bench_store64(&p->delivered, p->delivered + 1);
        return;
    }
    if (seq != p->next[producer]) bench_error(p, BENCH_ERR_ORDER);
    bench_store64(&p->next[producer], seq + 1);
    if (size != p->payloadSize || (size == 0) != (data == NULL)) {
        bench_error(p, BENCH_ERR_SIZE);
    } else if (size >= 16) {
        const uint8_t *bytes = (const uint8_t *)data;
        uint64_t head, tail;
        uint64_t stamp = bench_stamp(p->runTag, producer, seq);
        memcpy(&head, bytes, 8);
        memcpy(&tail, bytes + size - 8, 8);
        if (head != stamp || tail != ~stamp) bench_error(p, BENCH_ERR_STAMP);
        if (p->checkEvery != 0 && seq % p->checkEvery == p->checkSlot) {
            if (memcmp(bytes + 8, p->pattern + 8, size - 16) != 0) bench_error(p, BENCH_ERR_BYTES);
            p->fullChecks++;
        }
    }
    bench_store64(&p->delivered, p->delivered + 1);
}

/* A request's payload: magic, tag, sequence number. */
typedef struct BenchRequest {
    uint32_t magic;
    uint32_t tag;
    uint32_t seq;
    uint32_t answerSize; /* provider: payload size of the answers */
} BenchRequest;

/* The counting Read: every request sequence number must arrive exactly once.
 * Called from many threads at once. */
static inline void bench_count_read(BenchProbe *p, const void *data, uint32_t size) {
    BenchRequest request;
    if (data == NULL || size != sizeof request) {
        bench_error(p, BENCH_ERR_REQUEST);
        return;
    }
    memcpy(&request, data, sizeof request);
    if (request.magic != BENCH_REQ_MAGIC || request.tag != p->runTag || request.seq >= BENCH_MAX_REQUESTS) {
        bench_error(p, BENCH_ERR_REQUEST);
    } else {
        uint8_t bit = (uint8_t)(1u << (request.seq & 7u));
        uint8_t before = __atomic_fetch_or(&p->requestBits[request.seq >> 3], bit, __ATOMIC_ACQ_REL);
        if ((before & bit) != 0) bench_error(p, BENCH_ERR_REQUEST);
    }
    bench_add64(&p->reads, 1);
}

#ifdef __cplusplus
}
#endif

#endif /* SELVAR_BENCH_SHARED_H */
