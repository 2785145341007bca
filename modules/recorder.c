/*
 * recorder.c - demo module: requests frames from the camera, keeps each one
 * it is handed, appends it to recording.bin and gives it back; after
 * RECORDER_FRAME_LIMIT frames it stops the request.
 * Threads: Load, Open, Close, Unload on the service's main thread; Write on
 * the dispatch thread; everything else on the module's own writer thread,
 * started in Open and joined in Close (or Unload, if Close never came).
 */
#define _POSIX_C_SOURCE 200809L

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "plugin_interface.h"
#include "event_record.h"

#define EXPORT __attribute__((visibility("default")))

/* Shared with camera.c: IDs, classes and the frame and request layouts. */
#define DEMO_CAMERA_ID 0x00510001u
#define DEMO_RECORDER_ID 0x00510002u
#define DEMO_CLASS_FRAME_REQUEST 0x00000400u /* requests go out with EVF_MASK4 */
#define DEMO_CLASS_FRAME 0x00000800u         /* answers arrive with EVF_MASK3 */
#define DEMO_CLASS_STATUS 0x00001000u        /* status lines go out with EVF_MASK7 */
#define DEMO_FRAME_MAGIC 0x52465653u         /* "SVFR" */
#define DEMO_REQUEST_MAGIC 0x51525653u       /* "SVRQ" */

typedef struct DemoFrameHeader {
    uint32_t magic;
    uint32_t number;
    uint32_t size;
    uint32_t handle;
} DemoFrameHeader;

typedef struct DemoFrameRequest {
    uint32_t magic;
    uint32_t intervalMs;
} DemoFrameRequest;

/* The module's one request uses its own ID as handle: no other requester
 * picks it. */
#define RECORDER_HANDLE DEMO_RECORDER_ID
#define RECORDER_FRAME_LIMIT 100u
#define RECORDER_INTERVAL_MS 40u
#define RECORDER_QUEUE 32u /* frames handed over but not yet written */
#define RECORDING_FILE "recording.bin"
#define RECORDER_LOG_FILE "recorder.log"

typedef struct KeptFrame {
    void *data;
    uint32_t size;
} KeptFrame;

static FlatPluginEventFn g_submit;

/* Guarded by g_lock: the hand-over queue from Write to the writer thread. */
static pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t g_wake = PTHREAD_COND_INITIALIZER;
static KeptFrame g_queue[RECORDER_QUEUE];
static unsigned g_queueHead, g_queueCount;
static int g_accepting; /* the writer thread runs and takes frames */
static int g_closing;   /* Close or Unload asked the writer thread to end */
static unsigned long g_kept, g_declined;

/* Main thread only. */
static pthread_t g_writer;
static int g_writerStarted;

/* Writer thread only (and the main thread before it starts / after the join). */
static int g_recordingFd = -1;
static int g_logFd = -1;
static unsigned long g_recorded, g_released, g_extra, g_outOfOrder, g_writeErrors;
static unsigned long long g_bytes;
static uint32_t g_lastNumber;
static int g_requested, g_stopSent;

static void logLine(const char *format, ...) __attribute__((format(printf, 1, 2)));

static void logLine(const char *format, ...) {
    char line[256];
    va_list args;
    int length;
    if (g_logFd < 0) return;
    va_start(args, format);
    length = vsnprintf(line, sizeof(line) - 1, format, args);
    va_end(args);
    if (length < 0) return;
    if ((size_t)length > sizeof(line) - 2) length = (int)(sizeof(line) - 2);
    line[length++] = '\n';
    if (write(g_logFd, line, (size_t)length) < 0) {
        /* Nowhere else to report it. */
    }
}

static int32_t submit(_EventParmsIn *in) {
    _EventParmsOut out;
    memset(&out, 0, sizeof(out));
    in->size = sizeof(*in);
    in->version = 1;
    out.size = sizeof(out);
    out.version = 1;
    g_submit(in, &out);
    return out.result;
}

static void sendRequest(void) {
    DemoFrameRequest request;
    _EventParmsIn in;
    int32_t result;
    request.magic = DEMO_REQUEST_MAGIC;
    request.intervalMs = RECORDER_INTERVAL_MS;
    memset(&in, 0, sizeof(in));
    in.sourceId = 0; /* the request road */
    in.requestHandle = RECORDER_HANDLE;
    in.flags = EVF_MASK4;
    in.eventClass = DEMO_CLASS_FRAME_REQUEST;
    in.data = &request;
    in.dataSize = sizeof(request);
    result = submit(&in);
    g_requested = result == EVR_OK;
    logLine("request handle=0x%08lX result=%ld", (unsigned long)RECORDER_HANDLE, (long)result);
}

static void sendStop(const char *reason) {
    _EventParmsIn in;
    int32_t result;
    memset(&in, 0, sizeof(in));
    in.sourceId = 0;
    in.requestHandle = RECORDER_HANDLE;
    in.flags = EVF_STOP;
    result = submit(&in);
    g_stopSent = 1;
    logLine("stop handle=0x%08lX result=%ld reason=%s", (unsigned long)RECORDER_HANDLE, (long)result, reason);
}

static void sendStatus(const char *text) {
    _EventParmsIn in;
    memset(&in, 0, sizeof(in));
    in.sourceId = DEMO_RECORDER_ID;
    in.flags = EVF_MASK7;
    in.eventClass = DEMO_CLASS_STATUS;
    in.data = (void *)text;
    in.dataSize = (uint32_t)strlen(text);
    submit(&in);
}

static int32_t release(void *payload) {
    _EventParmsIn in;
    memset(&in, 0, sizeof(in));
    in.flags = EVF_RELEASE; /* exactly this value, nothing else */
    in.data = payload;
    in.sourceId = DEMO_RECORDER_ID;
    return submit(&in);
}

static int writeAll(int fd, const void *data, size_t size) {
    const char *next = (const char *)data;
    while (size > 0) {
        ssize_t done = write(fd, next, size);
        if (done < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        next += done;
        size -= (size_t)done;
    }
    return 0;
}

static void handleFrame(const KeptFrame *frame) {
    DemoFrameHeader header;
    int32_t result;
    memcpy(&header, frame->data, sizeof(header));
    if (g_recorded < RECORDER_FRAME_LIMIT) {
        if (header.number != g_lastNumber + 1u) ++g_outOfOrder;
        g_lastNumber = header.number;
        if (g_recordingFd < 0 || writeAll(g_recordingFd, frame->data, frame->size) != 0) ++g_writeErrors;
        ++g_recorded;
        g_bytes += frame->size;
        if (g_recorded == RECORDER_FRAME_LIMIT) {
            char text[128];
            /* Stop before giving the frame back: an answer the camera has not
             * submitted yet is then refused. */
            sendStop("limit");
            snprintf(text, sizeof(text), "recorder: %lu frames recorded (%llu bytes), stop sent for handle 0x%08lX",
                     g_recorded, g_bytes, (unsigned long)RECORDER_HANDLE);
            sendStatus(text);
        }
        result = release(frame->data);
        ++g_released;
        logLine("frame number=%lu size=%lu recorded=1 release=%ld", (unsigned long)header.number,
                (unsigned long)frame->size, (long)result);
    } else {
        /* Admitted before the stop closed the handle: given back unrecorded. */
        result = release(frame->data);
        ++g_released;
        ++g_extra;
        logLine("frame number=%lu size=%lu recorded=0 release=%ld", (unsigned long)header.number,
                (unsigned long)frame->size, (long)result);
    }
}

static void *writerMain(void *unused) {
    (void)unused;
    sendRequest();
    for (;;) {
        KeptFrame frame;
        pthread_mutex_lock(&g_lock);
        while (g_queueCount == 0 && !g_closing) pthread_cond_wait(&g_wake, &g_lock);
        if (g_queueCount == 0) {
            /* Closing and nothing left: Write takes no more frames. */
            g_accepting = 0;
            pthread_mutex_unlock(&g_lock);
            break;
        }
        frame = g_queue[g_queueHead];
        g_queueHead = (g_queueHead + 1u) % RECORDER_QUEUE;
        --g_queueCount;
        pthread_mutex_unlock(&g_lock);
        handleFrame(&frame);
    }
    if (g_requested && !g_stopSent) sendStop("close");
    pthread_mutex_lock(&g_lock);
    logLine("summary recorded=%lu bytes=%llu kept=%lu released=%lu extra=%lu declined=%lu outoforder=%lu "
            "writeerrors=%lu",
            g_recorded, g_bytes, g_kept, g_released, g_extra, g_declined, g_outOfOrder, g_writeErrors);
    pthread_mutex_unlock(&g_lock);
    return NULL;
}

/* Idempotent; main thread. */
static void stopWriter(void) {
    if (!g_writerStarted) return;
    pthread_mutex_lock(&g_lock);
    g_closing = 1;
    pthread_cond_broadcast(&g_wake);
    pthread_mutex_unlock(&g_lock);
    pthread_join(g_writer, NULL);
    g_writerStarted = 0;
}

static void closeFiles(void) {
    if (g_recordingFd >= 0) close(g_recordingFd);
    if (g_logFd >= 0) close(g_logFd);
    g_recordingFd = g_logFd = -1;
}

EXPORT int32_t Load(void *inBlock, void *outBlock) {
    const _LoadParmsIn *in = (const _LoadParmsIn *)inBlock;
    _LoadParmsOut *out = (_LoadParmsOut *)outBlock;
    if (in->eventEntry == NULL) {
        out->error = 1;
        return 1;
    }
    g_submit = in->eventEntry;
    out->moduleId = DEMO_RECORDER_ID;
    out->masks[3] = DEMO_CLASS_FRAME; /* queued frames: flags EVF_MASK3 */
    out->acceptsEvents = 1;
    out->hasReader = 0;
    return 0;
}

/* Files go to the working directory, which the service sets to its own. */
EXPORT int32_t Open(void *in, void *out) {
    int error;
    (void)in;
    (void)out;
    g_logFd = open(RECORDER_LOG_FILE, O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
    g_recordingFd = open(RECORDING_FILE, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (g_recordingFd < 0) logLine("cannot open " RECORDING_FILE ": %s", strerror(errno));
    g_recorded = g_released = g_extra = g_outOfOrder = g_writeErrors = 0;
    g_bytes = 0;
    g_lastNumber = 0;
    g_requested = g_stopSent = 0;
    pthread_mutex_lock(&g_lock);
    g_queueHead = g_queueCount = 0;
    g_kept = g_declined = 0;
    g_closing = 0;
    g_accepting = 1;
    pthread_mutex_unlock(&g_lock);
    error = pthread_create(&g_writer, NULL, writerMain, NULL);
    if (error != 0) {
        pthread_mutex_lock(&g_lock);
        g_accepting = 0;
        pthread_mutex_unlock(&g_lock);
        logLine("cannot start the writer thread: %s", strerror(error));
        closeFiles();
        return 1;
    }
    g_writerStarted = 1;
    return 0;
}

/* Dispatch thread: hand the frame over and keep it; never wait here. */
EXPORT int32_t Write(void *inBlock, void *outBlock) {
    const _WriteParmsIn *in = (const _WriteParmsIn *)inBlock;
    _WriteParmsOut *out = (_WriteParmsOut *)outBlock;
    DemoFrameHeader header;
    if (in->sourceId != DEMO_CAMERA_ID || in->requestHandle != RECORDER_HANDLE || in->data == NULL ||
        in->dataSize < sizeof(header))
        return 0;
    memcpy(&header, in->data, sizeof(header));
    if (header.magic != DEMO_FRAME_MAGIC || header.size != in->dataSize) return 0;
    pthread_mutex_lock(&g_lock);
    if (!g_accepting || g_closing || g_queueCount == RECORDER_QUEUE) {
        ++g_declined;
    } else {
        KeptFrame *slot = &g_queue[(g_queueHead + g_queueCount) % RECORDER_QUEUE];
        slot->data = in->data;
        slot->size = in->dataSize;
        ++g_queueCount;
        ++g_kept;
        out->keep = 1;
        pthread_cond_signal(&g_wake);
    }
    pthread_mutex_unlock(&g_lock);
    return 0;
}

EXPORT int32_t Close(void *in, void *out) {
    (void)in;
    (void)out;
    stopWriter();
    closeFiles();
    return 0;
}

EXPORT int32_t Unload(void *in, void *out) {
    (void)in;
    (void)out;
    stopWriter();
    closeFiles();
    return 0;
}
