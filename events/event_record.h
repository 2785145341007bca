/*
 * event_record.h - the event record a module hands to the service.
 *
 * Public header for module authors (C99 and C++). A module fills an
 * _EventParmsIn and an _EventParmsOut and calls FlatPluginEvent (its address
 * arrives in _LoadParmsIn.eventEntry) from any of its threads. The outcome is
 * written to _EventParmsOut.result; the function itself returns 0 (-1, with
 * nothing done, when `in` is NULL; with `out` NULL no result is written).
 *
 * Layout: 184 bytes on the 32-bit little-endian target; on LP64 the same
 * fields in the same order with natural alignment (192 bytes).
 */
#ifndef SELVAR_EVENT_RECORD_H
#define SELVAR_EVENT_RECORD_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Routing flags (_EventParmsIn.flags). Bits 0x01..0x80 and 0x400 select which
 * subscription masks of a module are tested. EVF_RELEASE and EVF_STOP are
 * recognised only as the exact value of the whole word. */
#define EVF_MASK0 0x00000001u
#define EVF_MASK1 0x00000002u
#define EVF_MASK2 0x00000004u
#define EVF_MASK3 0x00000008u
#define EVF_MASK4 0x00000010u
#define EVF_MASK5 0x00000020u
#define EVF_MASK6 0x00000040u
#define EVF_MASK7 0x00000080u
#define EVF_TO_OTHERS 0x00000100u
#define EVF_RELEASE 0x00000200u
#define EVF_MASK8 0x00000400u
#define EVF_TO_ALL 0x00000800u
#define EVF_STOP 0x00001000u

/* Class bit that, with EVF_MASK0, makes an event a counted event. */
#define EVC_COUNTED 0x01000000u

/* Result codes (_EventParmsOut.result). */
#define EVR_OK 0
#define EVR_HANDLE_REFUSED 1
#define EVR_UNREGISTERED 3
#define EVR_LIMIT 4
#define EVR_THROTTLED 5
/* The service is stopping: the event was not taken and will not be
 * delivered. Do not submit it again; Close follows. */
#define EVR_STOPPING 6
/* No memory for the event: its payload could not be copied, or the event
 * queue is full. Nothing was taken; the caller may submit again later. */
#define EVR_NO_MEMORY (-1)

/* sourceId of the service's own events; also the dispatch thread's holder ID. */
#define EVENT_SOURCE_CORE 0x80000000u
/* Counted events a source may send after each registration. */
#define COUNTED_EVENT_LIMIT 766

/* Offset of the registration byte inside extension: the value 1 makes a
 * counted event (re)register its source. */
#define EVENT_REGISTRATION_OFFSET 18

typedef struct _EventParmsIn {
    uint32_t size;          /* 184 (32-bit), sizeof on other targets; not validated */
    uint32_t version;       /* 1 */
    uint32_t dataSize;      /* payload length in bytes */
    void *data;             /* payload, or NULL; for a release the payload given back */
    uint32_t sourceId;      /* sender; 0 selects the stop and request roads */
    uint32_t requestHandle; /* provider request handle, or 0 */
    uint32_t flags;         /* EVF_* */
    uint32_t eventClass;    /* class bits matched against module masks */
    uint8_t extension[152]; /* opaque; delivered verbatim to Write receivers.
                               Byte EVENT_REGISTRATION_OFFSET is `registration`. */
} _EventParmsIn;

/* The registration byte inside extension (C99 has no anonymous unions). */
#define EVENT_REGISTRATION(rec) ((rec)->extension[EVENT_REGISTRATION_OFFSET])

typedef struct _EventParmsOut {
    uint32_t size;    /* 12 */
    uint32_t version; /* 1 */
    int32_t result;   /* EVR_*, written on every road */
} _EventParmsOut;

/* The service's event entry point, exported by the service's executable. */
typedef int32_t (*FlatPluginEventFn)(const _EventParmsIn *in, _EventParmsOut *out);
int32_t FlatPluginEvent(const _EventParmsIn *in, _EventParmsOut *out);

/* Layout checks for the two supported widths. */
#if defined(__cplusplus)
#define SELVAR_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#elif defined(__GNUC__)
/* __extension__: C99 modes with -pedantic would otherwise warn about it. */
#define SELVAR_STATIC_ASSERT(cond, msg) __extension__ _Static_assert(cond, msg)
#else
#define SELVAR_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif
/* The value a layout has on the 32-bit target and on LP64. */
#if UINTPTR_MAX == 0xFFFFFFFFu
#define SELVAR_BY_WIDTH(bits32, lp64) (bits32)
#else
#define SELVAR_BY_WIDTH(bits32, lp64) (lp64)
#endif

SELVAR_STATIC_ASSERT(sizeof(_EventParmsOut) == 12, "_EventParmsOut size");
SELVAR_STATIC_ASSERT(offsetof(_EventParmsOut, result) == 8, "result offset");
SELVAR_STATIC_ASSERT(offsetof(_EventParmsIn, dataSize) == 8, "dataSize offset");
SELVAR_STATIC_ASSERT(sizeof(_EventParmsIn) == SELVAR_BY_WIDTH(184, 192), "_EventParmsIn size");
SELVAR_STATIC_ASSERT(offsetof(_EventParmsIn, data) == SELVAR_BY_WIDTH(12, 16), "data offset");
SELVAR_STATIC_ASSERT(offsetof(_EventParmsIn, sourceId) == SELVAR_BY_WIDTH(16, 24), "sourceId offset");
SELVAR_STATIC_ASSERT(offsetof(_EventParmsIn, requestHandle) == SELVAR_BY_WIDTH(20, 28), "requestHandle offset");
SELVAR_STATIC_ASSERT(offsetof(_EventParmsIn, flags) == SELVAR_BY_WIDTH(24, 32), "flags offset");
SELVAR_STATIC_ASSERT(offsetof(_EventParmsIn, eventClass) == SELVAR_BY_WIDTH(28, 36), "eventClass offset");
SELVAR_STATIC_ASSERT(offsetof(_EventParmsIn, extension) == SELVAR_BY_WIDTH(32, 40), "extension offset");
SELVAR_STATIC_ASSERT(offsetof(_EventParmsIn, extension) + EVENT_REGISTRATION_OFFSET == SELVAR_BY_WIDTH(50, 58),
                     "registration offset");

#ifdef __cplusplus
}
#endif

#endif /* SELVAR_EVENT_RECORD_H */
