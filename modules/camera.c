/*
 * camera.c - demo reading module: answers every frame request with numbered
 * frames under the request's handle until the requester stops the handle.
 * Threads: Load and Unload run on the service's main thread; Read runs on a
 * call thread the service starts per request (and once at start with handle
 * 0, which this module ignores). Several Reads may run at the same time.
 */
#define _POSIX_C_SOURCE 200809L

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "plugin_interface.h"
#include "event_record.h"

#define EXPORT __attribute__((visibility("default")))

/* Shared with recorder.c: IDs, classes and the frame and request layouts. */
#define DEMO_CAMERA_ID 0x00510001u
#define DEMO_CLASS_FRAME_REQUEST 0x00000400u /* requests arrive with EVF_MASK4 */
#define DEMO_CLASS_FRAME 0x00000800u         /* answers go out with EVF_MASK3 */
#define DEMO_CLASS_STATUS 0x00001000u        /* status lines go out with EVF_MASK7 */
#define DEMO_FRAME_MAGIC 0x52465653u         /* "SVFR" */
#define DEMO_REQUEST_MAGIC 0x51525653u       /* "SVRQ" */

typedef struct DemoFrameHeader {
    uint32_t magic;  /* DEMO_FRAME_MAGIC */
    uint32_t number; /* 1, 2, 3, ... within one request */
    uint32_t size;   /* the whole frame in bytes, this header included */
    uint32_t handle; /* the request handle the frame answers */
} DemoFrameHeader;

typedef struct DemoFrameRequest {
    uint32_t magic;      /* DEMO_REQUEST_MAGIC */
    uint32_t intervalMs; /* pause between two frames */
} DemoFrameRequest;

/* Frame sizes cycle through 2 KiB .. 5 KiB; the filler byte at offset i of
 * frame n is (n * 131 + i * 7) mod 256. */
#define CAMERA_FRAME_MIN 2048u
#define CAMERA_FRAME_STEP 512u
#define CAMERA_FRAME_STEPS 7u
#define CAMERA_FRAME_MAX (CAMERA_FRAME_MIN + (CAMERA_FRAME_STEPS - 1u) * CAMERA_FRAME_STEP)
#define CAMERA_DEFAULT_INTERVAL_MS 40u
#define CAMERA_MAX_INTERVAL_MS 1000u

static FlatPluginEventFn g_submit; /* set in Load, before any Read */

static uint32_t frameSize(uint32_t number) {
    return CAMERA_FRAME_MIN + (number % CAMERA_FRAME_STEPS) * CAMERA_FRAME_STEP;
}

static void fillFrame(unsigned char *frame, uint32_t number, uint32_t handle) {
    DemoFrameHeader header;
    uint32_t size = frameSize(number);
    uint32_t i;
    header.magic = DEMO_FRAME_MAGIC;
    header.number = number;
    header.size = size;
    header.handle = handle;
    memcpy(frame, &header, sizeof(header));
    for (i = sizeof(header); i < size; ++i) frame[i] = (unsigned char)(number * 131u + i * 7u);
}

static void pauseMs(uint32_t ms) {
    struct timespec pause;
    pause.tv_sec = (time_t)(ms / 1000u);
    pause.tv_nsec = (long)(ms % 1000u) * 1000000L;
    while (nanosleep(&pause, &pause) != 0) {
    }
}

static int32_t submit(uint32_t handle, uint32_t flags, uint32_t eventClass, const void *data, uint32_t size) {
    _EventParmsIn in;
    _EventParmsOut out;
    memset(&in, 0, sizeof(in));
    memset(&out, 0, sizeof(out));
    in.size = sizeof(in);
    in.version = 1;
    in.dataSize = size;
    in.data = (void *)data;
    in.sourceId = DEMO_CAMERA_ID;
    in.requestHandle = handle;
    in.flags = flags;
    in.eventClass = eventClass;
    out.size = sizeof(out);
    out.version = 1;
    g_submit(&in, &out);
    return out.result;
}

EXPORT int32_t Load(void *inBlock, void *outBlock) {
    const _LoadParmsIn *in = (const _LoadParmsIn *)inBlock;
    _LoadParmsOut *out = (_LoadParmsOut *)outBlock;
    if (in->eventEntry == NULL) {
        out->error = 1;
        return 1;
    }
    g_submit = in->eventEntry;
    out->moduleId = DEMO_CAMERA_ID;
    out->masks[4] = DEMO_CLASS_FRAME_REQUEST;
    out->hasReader = 1;
    out->acceptsEvents = 0;
    return 0;
}

EXPORT int32_t Unload(void *in, void *out) {
    (void)in;
    (void)out;
    return 0;
}

/* One request: frames 1, 2, 3, ... until an answer is refused. The service
 * lets one frame of this thread be in flight; the next submission waits until
 * every receiver has released the previous one. */
EXPORT int32_t Read(void *inBlock, void *outBlock) {
    const _ReadParmsIn *in = (const _ReadParmsIn *)inBlock;
    const uint32_t handle = in->requestHandle;
    uint32_t interval = CAMERA_DEFAULT_INTERVAL_MS;
    unsigned char *frame;
    uint32_t number;
    int32_t result = EVR_OK;
    char line[128];
    (void)outBlock;

    if (handle == 0) return 0; /* the start-up call: nothing was asked for */

    if (in->data != NULL && in->dataSize >= sizeof(DemoFrameRequest)) {
        DemoFrameRequest request;
        memcpy(&request, in->data, sizeof(request));
        if (request.magic == DEMO_REQUEST_MAGIC)
            interval = request.intervalMs < CAMERA_MAX_INTERVAL_MS ? request.intervalMs : CAMERA_MAX_INTERVAL_MS;
    }

    frame = (unsigned char *)malloc(CAMERA_FRAME_MAX);
    if (frame == NULL) return 0;
    /* The service copies the payload during the call, so one buffer serves
     * every frame. */
    for (number = 1;; ++number) {
        fillFrame(frame, number, handle);
        result = submit(handle, EVF_MASK3, DEMO_CLASS_FRAME, frame, frameSize(number));
        if (result != EVR_OK) break; /* refused (stopped handle, service stop) or no memory */
        if (interval != 0) pauseMs(interval);
    }
    free(frame);

    snprintf(line, sizeof(line), "camera: request 0x%08lX ended after %lu frames (result %ld)",
             (unsigned long)handle, (unsigned long)(number - 1u), (long)result);
    submit(0, EVF_MASK7, DEMO_CLASS_STATUS, line, (uint32_t)strlen(line));
    return 0;
}
