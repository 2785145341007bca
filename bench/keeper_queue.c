/* keeper_queue.c - the releaser thread of a keeping receiver. */
#include "keeper_queue.h"

#include <stdlib.h>
#include <string.h>

static void releaseBatch(BenchKeeper *keeper, BenchKeptItem *batch, size_t count) {
    size_t i;
    for (i = 0; i < count; ++i) {
        BenchKeptItem *item = &batch[i];
        if (item->size >= 16) {
            uint64_t head;
            memcpy(&head, item->payload, 8);
            if (head != item->stamp) bench_error(keeper->probe, BENCH_ERR_RELEASE);
        }
        if (keeper->release(keeper->context, item->payload, item->size) != 0)
            bench_error(keeper->probe, BENCH_ERR_RELEASE);
        bench_store64(&keeper->probe->released, keeper->probe->released + 1);
    }
}

static void *releaserMain(void *arg) {
    BenchKeeper *keeper = (BenchKeeper *)arg;
    BenchKeptItem *batch = NULL;
    size_t batchCapacity = 0;
    for (;;) {
        size_t count;
        pthread_mutex_lock(&keeper->mutex);
        while (keeper->count == 0 && !keeper->stopping) pthread_cond_wait(&keeper->wake, &keeper->mutex);
        if (keeper->count == 0) {
            pthread_mutex_unlock(&keeper->mutex);
            break;
        }
        /* Swap arrays: the keeper goes on filling the (empty) spare. */
        {
            BenchKeptItem *full = keeper->items;
            size_t fullCapacity = keeper->capacity;
            count = keeper->count;
            keeper->items = batch;
            keeper->capacity = batchCapacity;
            keeper->count = 0;
            batch = full;
            batchCapacity = fullCapacity;
        }
        pthread_mutex_unlock(&keeper->mutex);
        releaseBatch(keeper, batch, count);
    }
    free(batch);
    return NULL;
}

int bench_keeper_start(BenchKeeper *keeper, BenchProbe *probe, BenchReleaseFn release, void *context) {
    memset(keeper, 0, sizeof *keeper);
    pthread_mutex_init(&keeper->mutex, NULL);
    pthread_cond_init(&keeper->wake, NULL);
    keeper->release = release;
    keeper->context = context;
    keeper->probe = probe;
    if (pthread_create(&keeper->thread, NULL, releaserMain, keeper) != 0) return -1;
    keeper->running = 1;
    return 0;
}

void bench_keeper_keep(BenchKeeper *keeper, void *payload, uint32_t size) {
    int wasEmpty;
    pthread_mutex_lock(&keeper->mutex);
    if (keeper->count == keeper->capacity) {
        size_t capacity = keeper->capacity != 0 ? keeper->capacity * 2 : 256;
        BenchKeptItem *grown = (BenchKeptItem *)realloc(keeper->items, capacity * sizeof *grown);
        if (grown == NULL) {
            /* Cannot keep it: give it back at once. */
            pthread_mutex_unlock(&keeper->mutex);
            if (keeper->release(keeper->context, payload, size) != 0) bench_error(keeper->probe, BENCH_ERR_RELEASE);
            bench_store64(&keeper->probe->released, keeper->probe->released + 1);
            return;
        }
        keeper->items = grown;
        keeper->capacity = capacity;
    }
    keeper->items[keeper->count].payload = payload;
    keeper->items[keeper->count].size = size;
    keeper->items[keeper->count].stamp = 0;
    if (size >= 16) memcpy(&keeper->items[keeper->count].stamp, payload, 8);
    wasEmpty = keeper->count == 0;
    keeper->count++;
    pthread_mutex_unlock(&keeper->mutex);
    if (wasEmpty) pthread_cond_signal(&keeper->wake);
}

void bench_keeper_stop(BenchKeeper *keeper) {
    if (!keeper->running) return;
    pthread_mutex_lock(&keeper->mutex);
    keeper->stopping = 1;
    pthread_mutex_unlock(&keeper->mutex);
    pthread_cond_signal(&keeper->wake);
    pthread_join(keeper->thread, NULL);
    keeper->running = 0;
    free(keeper->items);
    keeper->items = NULL;
    keeper->capacity = 0;
    pthread_cond_destroy(&keeper->wake);
    pthread_mutex_destroy(&keeper->mutex);
}
