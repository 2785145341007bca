/*
 * plugin_interface.h - the contract between the service and a plug-in module.
 *
 * Public header for module authors (C99 and C++). A module is a shared object
 * in the service's plugins/ directory that exports some of the eight entry
 * points below under their plain names. Every entry takes a pointer to its
 * input block and one to its output block and returns an int32_t; only Load's
 * return value means anything. Blocks are zero-filled by the caller, start
 * with `size` and `version`, and are valid only for the duration of the call.
 *
 * Threads: Load, Open, Close, Unload on the service's main thread; Read on a
 * call thread of its own; Write and IOCTL codes 2/3 on the dispatch thread;
 * IOCTL code 1 on a call thread. Entry points must tolerate concurrent calls.
 *
 * Layout: byte for byte as documented on the 32-bit little-endian target; on
 * LP64 the same fields in the same order with natural alignment.
 */
#ifndef SELVAR_PLUGIN_INTERFACE_H
#define SELVAR_PLUGIN_INTERFACE_H

#include <stddef.h>
#include <stdint.h>

#include "event_record.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Entry points by entryIndex. The symbol names are "Load", "Unload", "Open",
 * "Close", "Read", "Write", "Seek", "IOCTL". Seek is resolved, never called. */
enum {
    ENTRY_LOAD = 0,
    ENTRY_UNLOAD = 1,
    ENTRY_OPEN = 2,
    ENTRY_CLOSE = 3,
    ENTRY_READ = 4,
    ENTRY_WRITE = 5,
    ENTRY_SEEK = 6,
    ENTRY_IOCTL = 7,
    ENTRY_COUNT = 8
};
#define PLUGIN_ENTRY_NAMES {"Load", "Unload", "Open", "Close", "Read", "Write", "Seek", "IOCTL"}

/* Every entry point has this shape. */
typedef int32_t (*PluginEntryPoint)(void *in, void *out);

/* Put before each entry point's definition: the service finds entry points
 * by name, so they must stay visible even when the module is built with
 * -fvisibility=hidden.  SELVAR_MODULE_EXPORT int32_t Load(void *in, void *out) */
#if defined(__GNUC__)
#define SELVAR_MODULE_EXPORT __attribute__((visibility("default")))
#else
#define SELVAR_MODULE_EXPORT
#endif

/* IOCTL codes. */
#define IOCTL_AFTER_LOAD 1   /* once after Load, when ioctlOnLoad is set */
#define IOCTL_EVENT_OTHERS 2 /* queued event addressed to all other modules */
#define IOCTL_EVENT_ALL 3    /* queued event addressed to every module */

/* Module ID that puts a module at the front of the module table. */
#define PLUGIN_ID_FIRST 0x00060000u

/* Number of subscription masks; mask k belongs to flag bit PLUGIN_MASK_FLAG(k). */
#define PLUGIN_MASK_COUNT 9
#define PLUGIN_MASK_FLAG(k) ((k) == 8 ? EVF_MASK8 : (1u << (k)))

typedef struct _LoadParmsIn {
    uint32_t size;    /* 16 on 32-bit */
    uint32_t version; /* 3 */
    void *core;       /* opaque */
    FlatPluginEventFn eventEntry;
} _LoadParmsIn;

typedef struct _LoadParmsOut {
    uint32_t size;    /* 64, set by the service */
    uint32_t version; /* 1, set by the service */
    uint32_t moduleId;
    uint32_t masks[PLUGIN_MASK_COUNT];
    uint32_t reserved1;
    uint8_t ioctlOnLoad;   /* non-zero: one IOCTL code 1 call right after Load */
    uint8_t reserved2;
    uint8_t hasReader;     /* non-zero: the module takes Read calls */
    uint8_t acceptsEvents; /* non-zero: the module takes Write calls for events */
    uint32_t reserved3;
    int32_t error;         /* non-zero: the module refuses to be loaded */
} _LoadParmsOut;

typedef struct _UnloadParmsIn { uint32_t size, version; } _UnloadParmsIn;
typedef struct _UnloadParmsOut { uint32_t size, version, reserved; } _UnloadParmsOut;
typedef struct _OpenParmsIn { uint32_t size, version, reserved[3]; } _OpenParmsIn;
typedef struct _OpenParmsOut { uint32_t size, version, reserved[2]; } _OpenParmsOut;
typedef struct _CloseParmsIn { uint32_t size, version, reserved; } _CloseParmsIn;
typedef struct _CloseParmsOut { uint32_t size, version, reserved; } _CloseParmsOut;

typedef struct _ReadParmsIn {
    uint32_t size;    /* 28 on 32-bit */
    uint32_t version; /* 1 */
    uint32_t code;    /* 0 */
    uint8_t async;    /* 1 */
    uint8_t reserved[3];
    uint32_t dataSize;
    void *data;       /* the call thread's private payload copy, or NULL */
    uint32_t requestHandle;
} _ReadParmsIn;

typedef struct _ReadParmsOut { uint32_t size, version, reserved[3]; } _ReadParmsOut;

typedef struct _WriteParmsIn {
    uint32_t size;    /* 192 on 32-bit */
    uint32_t version; /* 1 */
    uint32_t code;    /* 0 */
    uint8_t async;    /* 0 from the dispatch thread, 1 from a call thread */
    uint8_t reserved[3];
    /* From here on: the event record from dataSize to its end, verbatim. */
    uint32_t dataSize;
    void *data;       /* the shared payload itself, not a copy */
    uint32_t sourceId;
    uint32_t requestHandle;
    uint32_t flags;
    uint32_t eventClass; /* as submitted */
    uint8_t extension[152];
} _WriteParmsIn;

typedef struct _WriteParmsOut {
    uint32_t size;    /* 24 */
    uint32_t version; /* 1 */
    uint32_t reserved[3];
    uint32_t keep;    /* non-zero: the module keeps the payload and releases it later */
} _WriteParmsOut;

typedef struct _IOCTLParmsIn {
    uint32_t size;       /* 28 on 32-bit */
    uint32_t version;    /* 1 */
    uint32_t code;       /* IOCTL_* */
    uint32_t argSize;    /* 8 for code 1, 16 for codes 2 and 3 */
    uint32_t argVersion; /* 1 */
    uint32_t dataSize;   /* codes 2 and 3 */
    void *data;          /* codes 2 and 3: the shared payload; code 1: NULL */
} _IOCTLParmsIn;

typedef struct _IOCTLParmsOut {
    uint32_t size;       /* 28 */
    uint32_t version;    /* 1 */
    uint32_t code;
    uint32_t reserved;
    uint32_t keep;       /* codes 2 and 3: as _WriteParmsOut.keep */
    uint32_t argSize;    /* 8 */
    uint32_t argVersion; /* 1 */
} _IOCTLParmsOut;

/* Layout checks. Blocks without pointers have the same size on both widths. */
SELVAR_STATIC_ASSERT(sizeof(_LoadParmsOut) == 64, "_LoadParmsOut size");
SELVAR_STATIC_ASSERT(offsetof(_LoadParmsOut, moduleId) == 8, "moduleId offset");
SELVAR_STATIC_ASSERT(offsetof(_LoadParmsOut, masks) == 12, "masks offset");
SELVAR_STATIC_ASSERT(offsetof(_LoadParmsOut, ioctlOnLoad) == 52, "ioctlOnLoad offset");
SELVAR_STATIC_ASSERT(offsetof(_LoadParmsOut, hasReader) == 54, "hasReader offset");
SELVAR_STATIC_ASSERT(offsetof(_LoadParmsOut, acceptsEvents) == 55, "acceptsEvents offset");
SELVAR_STATIC_ASSERT(offsetof(_LoadParmsOut, error) == 60, "error offset");
SELVAR_STATIC_ASSERT(sizeof(_UnloadParmsIn) == 8, "_UnloadParmsIn size");
SELVAR_STATIC_ASSERT(sizeof(_UnloadParmsOut) == 12, "_UnloadParmsOut size");
SELVAR_STATIC_ASSERT(sizeof(_OpenParmsIn) == 20, "_OpenParmsIn size");
SELVAR_STATIC_ASSERT(sizeof(_OpenParmsOut) == 16, "_OpenParmsOut size");
SELVAR_STATIC_ASSERT(sizeof(_CloseParmsIn) == 12, "_CloseParmsIn size");
SELVAR_STATIC_ASSERT(sizeof(_CloseParmsOut) == 12, "_CloseParmsOut size");
SELVAR_STATIC_ASSERT(sizeof(_ReadParmsOut) == 20, "_ReadParmsOut size");
SELVAR_STATIC_ASSERT(sizeof(_WriteParmsOut) == 24, "_WriteParmsOut size");
SELVAR_STATIC_ASSERT(offsetof(_WriteParmsOut, keep) == 20, "_WriteParmsOut keep offset");
SELVAR_STATIC_ASSERT(sizeof(_IOCTLParmsOut) == 28, "_IOCTLParmsOut size");
SELVAR_STATIC_ASSERT(offsetof(_IOCTLParmsOut, keep) == 16, "_IOCTLParmsOut keep offset");
SELVAR_STATIC_ASSERT(offsetof(_ReadParmsIn, async) == 12, "_ReadParmsIn async offset");
SELVAR_STATIC_ASSERT(offsetof(_ReadParmsIn, dataSize) == 16, "_ReadParmsIn dataSize offset");
SELVAR_STATIC_ASSERT(offsetof(_WriteParmsIn, async) == 12, "_WriteParmsIn async offset");
SELVAR_STATIC_ASSERT(offsetof(_WriteParmsIn, dataSize) == 16, "_WriteParmsIn dataSize offset");
SELVAR_STATIC_ASSERT(offsetof(_IOCTLParmsIn, dataSize) == 20, "_IOCTLParmsIn dataSize offset");
/* The tail of _WriteParmsIn from dataSize is the event record from dataSize. */
SELVAR_STATIC_ASSERT(sizeof(_WriteParmsIn) - offsetof(_WriteParmsIn, dataSize) ==
                         sizeof(_EventParmsIn) - offsetof(_EventParmsIn, dataSize),
                     "_WriteParmsIn tail mirrors _EventParmsIn");
SELVAR_STATIC_ASSERT(offsetof(_WriteParmsIn, data) - offsetof(_WriteParmsIn, dataSize) ==
                         offsetof(_EventParmsIn, data) - offsetof(_EventParmsIn, dataSize),
                     "_WriteParmsIn data mirrors _EventParmsIn");
SELVAR_STATIC_ASSERT(offsetof(_WriteParmsIn, extension) - offsetof(_WriteParmsIn, dataSize) ==
                         offsetof(_EventParmsIn, extension) - offsetof(_EventParmsIn, dataSize),
                     "_WriteParmsIn extension mirrors _EventParmsIn");
SELVAR_STATIC_ASSERT(sizeof(_LoadParmsIn) == SELVAR_BY_WIDTH(16, 24), "_LoadParmsIn size");
SELVAR_STATIC_ASSERT(offsetof(_LoadParmsIn, eventEntry) == SELVAR_BY_WIDTH(12, 16), "eventEntry offset");
SELVAR_STATIC_ASSERT(sizeof(_ReadParmsIn) == SELVAR_BY_WIDTH(28, 40), "_ReadParmsIn size");
SELVAR_STATIC_ASSERT(offsetof(_ReadParmsIn, data) == SELVAR_BY_WIDTH(20, 24), "_ReadParmsIn data offset");
SELVAR_STATIC_ASSERT(offsetof(_ReadParmsIn, requestHandle) == SELVAR_BY_WIDTH(24, 32),
                     "_ReadParmsIn requestHandle offset");
SELVAR_STATIC_ASSERT(sizeof(_WriteParmsIn) == SELVAR_BY_WIDTH(192, 200), "_WriteParmsIn size");
SELVAR_STATIC_ASSERT(offsetof(_WriteParmsIn, data) == SELVAR_BY_WIDTH(20, 24), "_WriteParmsIn data offset");
SELVAR_STATIC_ASSERT(offsetof(_WriteParmsIn, sourceId) == SELVAR_BY_WIDTH(24, 32), "_WriteParmsIn sourceId offset");
SELVAR_STATIC_ASSERT(offsetof(_WriteParmsIn, eventClass) == SELVAR_BY_WIDTH(36, 44), "_WriteParmsIn eventClass offset");
SELVAR_STATIC_ASSERT(offsetof(_WriteParmsIn, extension) == SELVAR_BY_WIDTH(40, 48), "_WriteParmsIn extension offset");
SELVAR_STATIC_ASSERT(sizeof(_IOCTLParmsIn) == SELVAR_BY_WIDTH(28, 32), "_IOCTLParmsIn size");
SELVAR_STATIC_ASSERT(offsetof(_IOCTLParmsIn, data) == SELVAR_BY_WIDTH(24, 24), "_IOCTLParmsIn data offset");

#ifdef __cplusplus
}
#endif

#endif /* SELVAR_PLUGIN_INTERFACE_H */
