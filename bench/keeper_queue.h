/*
 * keeper_queue.h - a receiver that keeps payloads and gives them back later
 * from a thread of its own.
 *
 * The delivering thread hands each kept payload over with bench_keeper_keep;
 * the releaser thread takes everything handed over since its last wake-up,
 * checks that each payload still carries the stamp it had when it was kept
 * (a payload freed under its keeper would not), and gives it back through
 * the release function. Used by the keeper module (release = a release event
 * to the service) and by the benchmark's own baseline (release = a reference
 * count). C99 and C++.
 */
#ifndef SELVAR_BENCH_KEEPER_QUEUE_H
#define SELVAR_BENCH_KEEPER_QUEUE_H

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>

#include "bench_shared.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Gives one kept payload back; returns 0 when it was taken back. */
typedef int (*BenchReleaseFn)(void *context, void *payload, uint32_t size);

typedef struct BenchKeptItem {
    void *payload;
    uint32_t size;
    uint64_t stamp; /* the payload's first 8 bytes when kept (size >= 16) */
} BenchKeptItem;

typedef struct BenchKeeper {
    pthread_mutex_t mutex; /* guards items, count, capacity, stopping */
    pthread_cond_t wake;
    BenchKeptItem *items;
    size_t count;
    size_t capacity;
    int stopping;
    int running;
    pthread_t thread;
    BenchReleaseFn release;
    void *context;
    BenchProbe *probe; /* released and errors are counted here */
} BenchKeeper;

/* Starts the releaser thread; 0 on success. */
int bench_keeper_start(BenchKeeper *keeper, BenchProbe *probe, BenchReleaseFn release, void *context);
/* Hands a payload over (delivering thread). */
void bench_keeper_keep(BenchKeeper *keeper, void *payload, uint32_t size);
/* Gives back whatever is still kept and joins the releaser thread. */
void bench_keeper_stop(BenchKeeper *keeper);

#ifdef __cplusplus
}
#endif

#endif /* SELVAR_BENCH_KEEPER_QUEUE_H */
