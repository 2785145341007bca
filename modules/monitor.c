/*
 * monitor.c - demo module: writes every event it is handed (documents,
 * memory state, notices, other modules' status lines) to monitor.log in the
 * working directory, one header line per event and the payload indented.
 * Threads: Load, Open, Close, Unload on the service's main thread; Write and
 * IOCTL codes 2 and 3 on the dispatch thread; IOCTL code 1 never (not asked).
 */
#define _POSIX_C_SOURCE 200809L

#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "plugin_interface.h"
#include "event_record.h"

#define EXPORT __attribute__((visibility("default")))

#define DEMO_MONITOR_ID 0x00510003u
#define DEMO_CLASS_STATUS 0x00001000u /* other demo modules' status lines, EVF_MASK7 */
#define MONITOR_LOG_FILE "monitor.log"
#define MONITOR_TEXT_LIMIT 8192u /* payload bytes shown per event */

/* Opened in Open, closed in Close; events arrive only in between (the
 * dispatch thread starts after Open and is stopped before Close). */
static int g_logFd = -1;

/* "YYYY-MM-DD hh:mm:ss.mmm" local time. */
static void timestamp(char *text, size_t size) {
    struct timespec now;
    struct tm local;
    char seconds[24];
    clock_gettime(CLOCK_REALTIME, &now);
    localtime_r(&now.tv_sec, &local);
    strftime(seconds, sizeof(seconds), "%Y-%m-%d %H:%M:%S", &local);
    snprintf(text, size, "%s.%03d", seconds, (int)(now.tv_nsec / 1000000L));
}

/* Formats the header and the payload as indented, printable lines and writes
 * them with one write(), so entries never interleave. Payload texts carry no
 * terminating NUL: dataSize is exact. A short append to a local file is all
 * the dispatch thread waits for here; slower work would need a thread. */
static void logEvent(const char *header, const void *data, uint32_t dataSize) {
    const unsigned char *text = (const unsigned char *)data;
    const uint32_t shown = data == NULL ? 0 : (dataSize < MONITOR_TEXT_LIMIT ? dataSize : MONITOR_TEXT_LIMIT);
    /* Worst case: every byte starts a line of its own ("    " + byte + "\n"). */
    const size_t capacity = strlen(header) + 64u + (size_t)shown * 6u;
    char *entry = (char *)malloc(capacity);
    size_t length;
    uint32_t i;
    int lineOpen = 0;
    if (entry == NULL || g_logFd < 0) {
        free(entry);
        return;
    }
    length = (size_t)snprintf(entry, capacity, "%s\n", header);
    for (i = 0; i < shown; ++i) {
        const unsigned char c = text[i];
        if (c == '\r') continue;
        if (!lineOpen) {
            if (c == '\n') continue; /* no empty lines */
            memcpy(entry + length, "    ", 4);
            length += 4;
            lineOpen = 1;
        }
        if (c == '\n') {
            entry[length++] = '\n';
            lineOpen = 0;
        } else {
            entry[length++] = (c == '\t' || (c >= 0x20 && c < 0x7F)) ? (char)c : '.';
        }
    }
    if (lineOpen) entry[length++] = '\n';
    if (data != NULL && dataSize > shown)
        length += (size_t)snprintf(entry + length, capacity - length, "    ... %lu more bytes\n",
                                   (unsigned long)(dataSize - shown));
    if (write(g_logFd, entry, length) < 0) {
        /* Nowhere else to report it. */
    }
    free(entry);
}

EXPORT int32_t Load(void *inBlock, void *outBlock) {
    _LoadParmsOut *out = (_LoadParmsOut *)outBlock;
    (void)inBlock; /* the monitor only listens: it never submits */
    out->moduleId = DEMO_MONITOR_ID;
    out->masks[2] = 0x02000010u;       /* memory state: class 0x01000010 with EVF_MASK2 */
    out->masks[6] = 0x02000002u;       /* notices: class 0x01000002 with EVF_MASK6 */
    out->masks[7] = DEMO_CLASS_STATUS; /* demo status lines with EVF_MASK7 */
    out->acceptsEvents = 1;
    return 0;
}

EXPORT int32_t Open(void *in, void *out) {
    char now[40];
    char header[96];
    (void)in;
    (void)out;
    g_logFd = open(MONITOR_LOG_FILE, O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
    if (g_logFd < 0) return 1;
    timestamp(now, sizeof(now));
    snprintf(header, sizeof(header), "%s monitor opened", now);
    logEvent(header, NULL, 0);
    return 0;
}

/* Events addressed to the monitor's masks; the record says who sent what. */
EXPORT int32_t Write(void *inBlock, void *outBlock) {
    const _WriteParmsIn *in = (const _WriteParmsIn *)inBlock;
    char now[40];
    char header[192];
    (void)outBlock; /* keep stays 0: everything is written before returning */
    timestamp(now, sizeof(now));
    snprintf(header, sizeof(header),
             "%s write source=0x%08lX class=0x%08lX flags=0x%08lX handle=0x%08lX bytes=%lu", now,
             (unsigned long)in->sourceId, (unsigned long)in->eventClass, (unsigned long)in->flags,
             (unsigned long)in->requestHandle, (unsigned long)in->dataSize);
    logEvent(header, in->data, in->dataSize);
    return 0;
}

/* Events sent to all (other) modules: this road carries only the payload, no
 * source or class. */
EXPORT int32_t IOCTL(void *inBlock, void *outBlock) {
    const _IOCTLParmsIn *in = (const _IOCTLParmsIn *)inBlock;
    char now[40];
    char header[128];
    (void)outBlock;
    if (in->code != IOCTL_EVENT_OTHERS && in->code != IOCTL_EVENT_ALL) return 0;
    timestamp(now, sizeof(now));
    snprintf(header, sizeof(header), "%s ioctl code=%lu (%s) bytes=%lu", now, (unsigned long)in->code,
             in->code == IOCTL_EVENT_OTHERS ? "to others" : "to all", (unsigned long)in->dataSize);
    logEvent(header, in->data, in->dataSize);
    return 0;
}

EXPORT int32_t Close(void *in, void *out) {
    char now[40];
    char header[96];
    (void)in;
    (void)out;
    timestamp(now, sizeof(now));
    snprintf(header, sizeof(header), "%s monitor closed", now);
    logEvent(header, NULL, 0);
    if (g_logFd >= 0) close(g_logFd);
    g_logFd = -1;
    return 0;
}

EXPORT int32_t Unload(void *in, void *out) {
    (void)in;
    (void)out;
    return 0;
}
