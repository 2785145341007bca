/*
 * stress_module.h - the control surface and records of stress_module.so, the
 * plug-in module of the stress test (several copies, each its own instance).
 *
 * The test dlopen()s each copy before the service starts, so the service's
 * own dlopen() of the same file gets the same instance, and the records
 * outlive the service's unload. Records are appended under the module's lock;
 * read them only once the module's threads have ended (after Close).
 */
#ifndef SELVAR_TESTS_STRESS_STRESS_MODULE_H
#define SELVAR_TESTS_STRESS_STRESS_MODULE_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define STRESS_MAGIC 0x53545253u /* "STRS" */
#define STRESS_PROVIDER_CLASS 0x00000100u
/* Class of events routed through mask 1 to module `index` only. */
#define STRESS_ROUTED_CLASS(index) (1u << (16 + (index)))

/* Every payload a module sends starts with this header; the rest is filler
 * derived from the ID, so any change is seen. */
typedef struct StressPayloadHeader {
    uint32_t magic;
    uint32_t size; /* of the whole payload */
    uint64_t id;   /* unique in the run: sender index, thread, sequence */
} StressPayloadHeader;

typedef struct StressSetup {
    uint32_t index;        /* 0..7: this copy's place among the copies */
    uint32_t moduleCount;  /* copies loaded */
    uint32_t submitters;   /* submitting threads started by Open */
    uint32_t provider;     /* non-zero: takes Read calls and answers requests */
    uint32_t doubleRelease; /* non-zero: some kept payloads are given back twice */
    uint32_t seed;
    uint32_t flood;        /* non-zero: one more thread submits without pausing, from Open until Unload */
} StressSetup;

/* What happened to one payload in one module, or one submission. */
enum { STRESS_SUBMITTED = 1, STRESS_DELIVERED = 2, STRESS_KEPT = 3, STRESS_RELEASED = 4 };
/* Routing of a submitted event. */
enum { STRESS_TO_ALL = 1, STRESS_TO_OTHERS = 2, STRESS_ROUTED = 3, STRESS_ANSWER = 4, STRESS_COUNTED = 5 };

typedef struct StressRecord {
    uint64_t id;
    uint8_t kind;    /* STRESS_SUBMITTED ... */
    uint8_t routing; /* submitted: STRESS_TO_ALL ...; delivered: 0 Write, 2 or 3 IOCTL code */
    uint8_t phase;   /* the phase the test had set when it happened */
    uint8_t target;  /* routed: the index of the one receiver */
} StressRecord;

typedef struct StressCounts {
    uint64_t submitted, refused, delivered, foreignDeliveries, kept, released, doubleReleases;
    uint64_t unknownReleases, requests, stops, answers, refusedAnswers, countedOk, countedLimit;
    uint64_t countedUnregistered, registrations, nullEvents;
    uint64_t queueFull;    /* events refused with EVR_NO_MEMORY (the queue was full) */
    uint64_t stopping;     /* events refused with EVR_STOPPING */
    uint64_t flooded;      /* events the flood thread got accepted */
    uint64_t anomalies; /* anything the service must never do; see firstAnomaly */
} StressCounts;

typedef void (*StressConfigureFn)(const StressSetup *setup);
/* The module ID a copy with this index loads with. */
typedef uint32_t (*StressModuleIdFn)(uint32_t index);
/* 1: submitters run; 0: they pause (the releaser goes on giving back). */
typedef void (*StressSetRunningFn)(int running);
typedef void (*StressSetPhaseFn)(uint8_t phase);
/* Submitters and Read calls busy right now (0 once paused and settled). */
typedef uint32_t (*StressBusyFn)(void);
typedef size_t (*StressKeptNowFn)(void);
typedef void (*StressCountsFn)(StressCounts *counts);
typedef const StressRecord *(*StressRecordsFn)(size_t *count);
typedef const char *(*StressFirstAnomalyFn)(void);

#ifdef __cplusplus
}
#endif

#endif /* SELVAR_TESTS_STRESS_STRESS_MODULE_H */
