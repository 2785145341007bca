/*
 * test_module.c - the configurable plug-in module the service's tests load.
 *
 * Built as test_module.so; tests copy it under other names (a.so, b.so, ...)
 * into a plugins directory, and every copy is its own instance. A copy reads
 * its behaviour from "<its path>.conf" when it is mapped and appends what it
 * observes to "<its path>.log". Entry points are called by the service on the
 * threads the plug-in interface names; all of them tolerate concurrent calls.
 * no_load_module.c and load_only_module.c build variants of this file that
 * export fewer entry points (TM_ENTRIES).
 *
 * CONFIGURATION  (<path>.conf; a missing file means all defaults)
 *   Read once, when the copy is mapped (dlopen, just before Load): write it
 *   before the service starts. <path> is made absolute at that moment.
 *   One `key=value` per line; blank lines and lines starting with # are
 *   skipped; blanks around key and value are trimmed. Numbers are decimal or
 *   0x hex, "-" allowed for the return values. An unknown key or a bad value
 *   is logged as CONFIGERR and otherwise ignored; when a key repeats, the
 *   last one wins (except submit.* and request.*, which accumulate).
 *
 *   Load result
 *     id=N              moduleId (default 0x00100000)
 *     mask0..mask8=N    masks[k] (default 0)
 *     ioctlOnLoad=0|1  hasReader=0|1  acceptsEvents=0|1   (default 0)
 *     loadReturn=N      Load's return value (default 0)
 *     loadError=N       out->error (default 0)
 *   Other return values (all default 0): openReturn closeReturn unloadReturn
 *     readReturn writeReturn ioctlReturn seekReturn
 *   Delays: loadSleepMs openSleepMs closeSleepMs unloadSleepMs readSleepMs
 *     writeSleepMs ioctlSleepMs - plain sleep in that entry before its
 *     submissions (Close/Unload: before winding down; Load: after filling
 *     the out block; Write/IOCTL: after noting what they keep).
 *     sleepOnCall=N     Read, Write and IOCTL sleep only in their N-th call
 *                       (default 0: in every call)
 *     readHoldMs=N      every Read waits up to N ms before its actions,
 *                       ending early once Close or Unload has begun.
 *   Keeping payloads (Write and IOCTL codes 2/3)
 *     keep=0|1          sets both of:
 *     keep.write=0|1  keep.ioctl=0|1   out->keep for that delivery kind
 *     keepMax=N         keep only the first N deliveries overall (0 = all)
 *     releaseAfterMs=N  release each kept payload N ms after its delivery,
 *                       from one releaser thread of the module (started on
 *                       the first keep; stopped and joined in Close/Unload).
 *                       Counted from the Write/IOCTL call: use >= 10 ms.
 *     releaseOn=timer|close|unload|never
 *                       default: timer when releaseAfterMs is given, else
 *                       close. Close releases what timer and close modes
 *                       still hold; Unload releases whatever is still held
 *                       unless the mode is never.
 *     release.source=N  sourceId of release events (default: id)
 *     A release event is {flags EVF_RELEASE, data = the kept pointer,
 *     dataSize = its size, sourceId, everything else 0}. Deliveries whose
 *     data is NULL may be answered with keep but are never released.
 *   Provider (Read with requestHandle != 0)
 *     provide=0|1       answer requests (default 0)
 *     provide.count=N   answers per Read; 0 = until one is not admitted
 *     provide.limit=N   hard cap on answers per Read (default 1000000)
 *     provide.size=N    payload bytes (default 64): "frame=<seq>;" then the
 *                       filler 'a'+(i%26) at byte i, cut to N bytes
 *     provide.flags=N  provide.class=N  provide.reg=N   (default 0)
 *     provide.source=N  sourceId (default: id)
 *     provide.handle=N  requestHandle (default: the Read's handle)
 *     provide.delayMs=N before the first answer; provide.intervalMs=N between
 *                       answers (both end early when Close/Unload begins)
 *     The loop stops at the first result != 0 (reason refused for
 *     EVR_HANDLE_REFUSED, error otherwise), after provide.count answers, at
 *     provide.limit, or once Close/Unload has begun (reason closing).
 *   Requester
 *     stop.afterAnswers=N  when Write has seen N deliveries with a non-zero
 *                       requestHandle and sourceId for one handle, submit a
 *                       stop for that handle from inside Write, once per
 *                       handle (default 0 = never)
 *     stop.source=N (default 0)  stop.flags=N (default EVF_STOP)
 *   Submissions
 *     submit.<point>=RECIPE   request.<point>=RECIPE
 *     point: load open close unload read write ioctl1 (IOCTL code 1)
 *       ioctl (IOCTL codes 2/3). Each line is one recipe; the recipes of a
 *       point run in file order near the end of that entry (Read: before
 *       its answers; Write: after a stop). request.* only differs in its
 *       default source (0, the request road) and its log kind.
 *     RECIPE: space-separated key=value, `text=` last (it takes the rest of the
 *       line; escapes \n \r \t \\ \0 \xHH):
 *       source=N    sourceId (default: id; request.*: 0)
 *       flags=N class=N reg=N (registration byte) ext=HEX (extension bytes
 *                   from offset 0, before reg)
 *       handle=N|cur  requestHandle; cur = the handle of the Read or Write
 *                   that triggers the recipe (default 0)
 *       text=...    payload text (no NUL added)
 *       size=N      without text: payload of N bytes like provide.size,
 *                   frame = the recipe's running submission count
 *       null=1      data NULL, dataSize = size
 *       repeat=N    submissions per firing (default 1)
 *       every=N     fire on every N-th matching call only (default 1)
 *       max=N       fire at most N times in all (default 0 = no limit)
 *       onSource=N onClass=N onHandle=N   fire only for calls with exactly
 *                   these values (write: source, class, handle; read:
 *                   handle; elsewhere all three count as 0)
 *       thread=1    run the firing on a new thread of the module (joined in
 *                   Close/Unload; ignored for close and unload; past 64
 *                   such threads between two Closes it runs inline)
 *       delayMs=N   wait before the first submission, gapMs=N between
 *                   repeats (end early once Close/Unload has begun, which
 *                   also ends a threaded firing's remaining repeats)
 *   logMax=N          payload bytes shown in log lines (default 256)
 *   Failing on purpose
 *     crash=POINT       load open close unload read write ioctl1 ioctl (as for
 *                       submissions), or thread: a thread of the module,
 *                       started in Open
 *     crash.signal=N    11 (default) writes to an unmapped address; 0 calls
 *                       exit(70); any other signal is raised
 *     crash.delayMs=N   wait that long in the entry (or thread) first
 *     crash.every=N     fail on the N-th call of that entry (default 1)
 *     sigpipe=1         every Write first writes to a pipe whose reading end
 *                       is closed and logs what write() gave
 *
 * LOG  (<path>.log; one line per observation, written with a single write()
 *   to an O_APPEND file so lines of different threads never interleave)
 *   KIND t=<CLOCK_MONOTONIC microseconds> key=value ...
 *   Values contain no blanks: bytes outside 0x21..0x7e and '%' are written
 *   as %XX. Identifiers, bit fields and pointers are 0x hex (source flags
 *   class handle id ptr masks core entry extsum sum); the rest is decimal.
 *   tid is the Linux thread ID (equal to pid on the process's main thread).
 *   Payload fields, after size/ptr, when data != NULL: sum=<FNV-1a 32 of the
 *   whole payload>, then text=<first logMax bytes> when every byte is
 *   printable or \t \n \r, else hex=<first logMax bytes>; cut=1 when
 *   shortened; frame=N when the payload starts with "frame=N;".
 *
 *   INIT     path conf(0|1 file found) pid tid          - mapped (dlopen)
 *   CONFIGERR line key reason(unknown|value|recipe)
 *   LOAD     insize inver core entry outsize outver outzero id ret error pid tid
 *   IOCTL    n code insize inver argSize argVersion size ptr [payload]
 *            outsize outver outcode outkeep outargSize outargVersion keep tid
 *   OPEN     insize inver outsize outver outzero tid
 *   READ     n insize inver code async handle size ptr [payload] gapzero
 *            outsize outver outzero tid
 *   ANSWER   handle seq source flags class size sum result us tid
 *   READEND  n handle answers sent reason(none|count|refused|error|limit|
 *            closing|noentry) tid
 *   WRITE    n insize inver code async source flags class handle size ptr
 *            [payload] reg extsum ext gapzero outsize outver outzero keep tid
 *   STOP     handle answers source flags result us tid
 *   SUBMIT / REQUEST  at recipe n rep source flags class handle reg size
 *            [sum text|hex frame] result us tid
 *   RELEASE  ptr size intact source result us when(timer|close|unload) tid
 *   SEEK     tid
 *   CLOSE / UNLOAD  insize inver outsize outver outzero held tid
 *   FINI     threads                                    - unmapped (dlclose)
 *   CRASH    at signal tid                              - just before failing
 *   PIPE     result errno tid                           - sigpipe=1
 *   n counts calls of that entry (from 1); outzero=1 when the out block was
 *   all zero after size/version; gapzero=1 when every byte of the input
 *   block that no field names (padding, reserved) is zero; outkeep etc. are the values found on entry;
 *   ext is the extension in hex without its trailing zero bytes; us is how
 *   long the eventEntry call took; held counts payloads still kept (also
 *   under releaseOn=never); intact=1 when a kept payload still holds the
 *   bytes it had when it was kept. result is that of _EventParmsOut, preset
 *   to 999 (so 999 means "not written"), or "none" when there was no
 *   eventEntry (before Load or after Unload).
 */
#define _GNU_SOURCE

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include "pluginhost/plugin_interface.h"
#include "events/event_record.h"

/* Which entry points this build exports: TM_BIT_* ORed together. The
 * preprocessor cannot see the ENTRY_* enumerators, hence the numbers. */
#define TM_BIT_LOAD 0x01u
#define TM_BIT_UNLOAD 0x02u
#define TM_BIT_OPEN 0x04u
#define TM_BIT_CLOSE 0x08u
#define TM_BIT_READ 0x10u
#define TM_BIT_WRITE 0x20u
#define TM_BIT_SEEK 0x40u
#define TM_BIT_IOCTL 0x80u
#ifndef TM_ENTRIES
#define TM_ENTRIES 0xFFu
#endif
#define TM_HAS(bit) (((TM_ENTRIES) & (bit)) != 0)
SELVAR_STATIC_ASSERT(TM_BIT_OPEN == 1u << ENTRY_OPEN && TM_BIT_IOCTL == 1u << ENTRY_IOCTL, "TM_BIT_* follow ENTRY_*");

#if TM_ENTRIES != 0xFFu
/* Variants compile only some entry points; the others' state goes unused. */
#pragma GCC diagnostic ignored "-Wunused-function"
#pragma GCC diagnostic ignored "-Wunused-variable"
#endif

#define TM_EXPORT __attribute__((visibility("default")))

#define TM_DEFAULT_ID 0x00100000u
#define TM_MAX_WORKERS 64
#define TM_MAX_HANDLES 256
#define TM_RESULT_UNSET 999
#define TM_EXT_SIZE 152

/* ---------------------------------------------------------------- types */

typedef struct TmOpt {
    uint32_t has;
    uint32_t value;
} TmOpt;

typedef struct TmRecipe {
    char point[8];
    int request;
    int index;
    uint32_t source, flags, eventClass, handle, reg, repeat, size, every, max;
    uint32_t delayMs, gapMs;
    int hasSource, handleCur, nullData, threaded, hasText, hasReg, hasExt;
    TmOpt onSource, onClass, onHandle;
    uint8_t ext[TM_EXT_SIZE];
    char *text;
    size_t textLen;
    /* Under g_lock. */
    uint32_t seen, fired, submitted;
} TmRecipe;

enum { TM_RELEASE_TIMER, TM_RELEASE_CLOSE, TM_RELEASE_UNLOAD, TM_RELEASE_NEVER };

typedef struct TmConfig {
    uint32_t id;
    uint32_t masks[PLUGIN_MASK_COUNT];
    uint32_t ioctlOnLoad, hasReader, acceptsEvents;
    int32_t loadReturn, loadError, openReturn, closeReturn, unloadReturn;
    int32_t readReturn, writeReturn, ioctlReturn, seekReturn;
    uint32_t loadSleepMs, openSleepMs, closeSleepMs, unloadSleepMs;
    uint32_t readSleepMs, writeSleepMs, ioctlSleepMs, readHoldMs;
    uint32_t keepWrite, keepIoctl, keepMax;
    TmOpt releaseAfterMs, releaseSource;
    int releaseMode, hasReleaseMode;
    uint32_t provide, provideCount, provideLimit, provideSize;
    uint32_t provideFlags, provideClass, provideReg, provideDelayMs, provideIntervalMs;
    TmOpt provideSource, provideHandle;
    uint32_t stopAfterAnswers, stopSource, stopFlags;
    uint32_t logMax;
    char crashPoint[8]; /* empty: never */
    uint32_t crashSignal, crashDelayMs, crashEvery, sigpipe, sleepOnCall;
    TmRecipe *recipes;
    size_t recipeCount;
} TmConfig;

typedef struct TmKept {
    void *ptr;
    uint32_t size;
    uint32_t sum; /* of the payload when it was kept */
    uint64_t due;
} TmKept;

typedef struct TmHandleCount {
    uint32_t handle;
    uint32_t answers;
    int stopped;
} TmHandleCount;

/* What triggered a firing, for the on* filters and handle=cur. */
typedef struct TmCtx {
    uint32_t source, eventClass, handle;
} TmCtx;

typedef struct TmWork {
    TmRecipe *recipe;
    TmCtx ctx;
    uint32_t n;
} TmWork;

/* -------------------------------------------------------------- globals */

static const char g_anchor = 0; /* an address inside this object, for dladdr */
static char *g_path;
static int g_logFd = -1;
static TmConfig g_cfg;

/* g_lock guards everything below; never held around eventEntry or a sleep. */
static pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t g_cond; /* monotonic clock; state changes broadcast it */
static FlatPluginEventFn g_entry;
static int g_stopping;
static uint32_t g_readCalls, g_writeCalls, g_ioctlCalls;
static TmKept *g_kept;
static size_t g_keptCount, g_keptCap;
static uint32_t g_keptTotal;
static pthread_t g_releaser;
static int g_releaserRunning, g_releaserStop;
static pthread_t g_workers[TM_MAX_WORKERS];
static size_t g_workerCount;
static TmHandleCount g_handles[TM_MAX_HANDLES];
static size_t g_handleCount;

/* ------------------------------------------------------------ utilities */

static uint64_t tm_now_us(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000000u + (uint64_t)ts.tv_nsec / 1000u;
}

static long tm_tid(void) { return (long)syscall(SYS_gettid); }

static void tm_sleep_ms(uint32_t ms) {
    struct timespec ts;
    ts.tv_sec = ms / 1000u;
    ts.tv_nsec = (long)(ms % 1000u) * 1000000L;
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

/* Waits up to ms; returns 1 at once when Close/Unload has begun. */
static int tm_wait_unless_stopping(uint32_t ms) {
    uint64_t deadline = tm_now_us() + (uint64_t)ms * 1000u;
    int stopping;
    pthread_mutex_lock(&g_lock);
    while (!g_stopping) {
        uint64_t now = tm_now_us();
        if (now >= deadline) break;
        struct timespec ts;
        ts.tv_sec = (time_t)(deadline / 1000000u);
        ts.tv_nsec = (long)(deadline % 1000000u) * 1000L;
        pthread_cond_timedwait(&g_cond, &g_lock, &ts);
    }
    stopping = g_stopping;
    pthread_mutex_unlock(&g_lock);
    return stopping;
}

static int tm_is_stopping(void) {
    pthread_mutex_lock(&g_lock);
    int stopping = g_stopping;
    pthread_mutex_unlock(&g_lock);
    return stopping;
}

static uint32_t tm_fnv(const unsigned char *p, size_t n) {
    uint32_t h = 0x811c9dc5u;
    for (size_t i = 0; i < n; ++i) {
        h ^= p[i];
        h *= 0x01000193u;
    }
    return h;
}

static unsigned long tm_ptr(const void *p) { return (unsigned long)(uintptr_t)p; }

/* 1 when every byte after the size/version header is zero. */
static int tm_zero_after_header(const void *block, size_t size) {
    const unsigned char *p = block;
    for (size_t i = 8; i < size; ++i)
        if (p[i] != 0) return 0;
    return 1;
}

/* 1 when every byte of a Read or Write input block that no field names
 * (padding, reserved bytes) is zero: the block is rebuilt from its fields
 * alone and compared. */
static int tm_read_gaps_zero(const _ReadParmsIn *in) {
    _ReadParmsIn named;
    memset(&named, 0, sizeof named);
    named.size = in->size;
    named.version = in->version;
    named.code = in->code;
    named.async = in->async;
    named.dataSize = in->dataSize;
    named.data = in->data;
    named.requestHandle = in->requestHandle;
    return memcmp(&named, in, sizeof named) == 0;
}

static int tm_write_gaps_zero(const _WriteParmsIn *in) {
    _WriteParmsIn named;
    memset(&named, 0, sizeof named);
    named.size = in->size;
    named.version = in->version;
    named.code = in->code;
    named.async = in->async;
    named.dataSize = in->dataSize;
    named.data = in->data;
    named.sourceId = in->sourceId;
    named.requestHandle = in->requestHandle;
    named.flags = in->flags;
    named.eventClass = in->eventClass;
    memcpy(named.extension, in->extension, sizeof named.extension);
    return memcmp(&named, in, sizeof named) == 0;
}

/* Deterministic payload: "frame=<frame>;" then 'a'+(i%26) at byte i. */
static unsigned char *tm_make_payload(uint32_t frame, uint32_t size) {
    unsigned char *p = malloc(size ? size : 1);
    if (p == NULL) return NULL;
    char head[24];
    int headLen = snprintf(head, sizeof head, "frame=%u;", (unsigned)frame);
    for (uint32_t i = 0; i < size; ++i)
        p[i] = (int)i < headLen ? (unsigned char)head[i] : (unsigned char)('a' + i % 26u);
    return p;
}

/* --------------------------------------------------------------- log lines */

typedef struct TmBuf {
    char *p;
    size_t len, cap;
    int failed;
} TmBuf;

static void tm_reserve(TmBuf *b, size_t extra) {
    if (b->failed || b->len + extra + 1 <= b->cap) return;
    size_t cap = b->cap ? b->cap : 256;
    while (cap < b->len + extra + 1) cap *= 2;
    char *p = realloc(b->p, cap);
    if (p == NULL) {
        b->failed = 1;
        return;
    }
    b->p = p;
    b->cap = cap;
}

__attribute__((format(printf, 2, 3))) static void tm_add(TmBuf *b, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(NULL, 0, fmt, ap);
    va_end(ap);
    if (n < 0) return;
    tm_reserve(b, (size_t)n);
    if (b->failed) return;
    va_start(ap, fmt);
    vsnprintf(b->p + b->len, b->cap - b->len, fmt, ap);
    va_end(ap);
    b->len += (size_t)n;
}

/* Appends bytes as a log value: blanks, controls, '%' and non-ASCII as %XX. */
static void tm_add_escaped(TmBuf *b, const unsigned char *p, size_t n) {
    static const char digits[] = "0123456789ABCDEF";
    tm_reserve(b, n * 3);
    if (b->failed) return;
    for (size_t i = 0; i < n; ++i) {
        unsigned char c = p[i];
        if (c > 0x20 && c < 0x7f && c != '%') {
            b->p[b->len++] = (char)c;
        } else {
            b->p[b->len++] = '%';
            b->p[b->len++] = digits[c >> 4];
            b->p[b->len++] = digits[c & 15];
        }
    }
    b->p[b->len] = 0;
}

static void tm_add_hex(TmBuf *b, const unsigned char *p, size_t n) {
    static const char digits[] = "0123456789abcdef";
    tm_reserve(b, n * 2);
    if (b->failed) return;
    for (size_t i = 0; i < n; ++i) {
        b->p[b->len++] = digits[p[i] >> 4];
        b->p[b->len++] = digits[p[i] & 15];
    }
    b->p[b->len] = 0;
}

static void tm_add_payload(TmBuf *b, const void *data, uint32_t size) {
    if (data == NULL) return;
    const unsigned char *p = data;
    size_t shown = size < g_cfg.logMax ? size : g_cfg.logMax;
    int text = 1;
    for (uint32_t i = 0; i < size && text; ++i)
        text = (p[i] >= 0x20 && p[i] < 0x7f) || p[i] == '\t' || p[i] == '\n' || p[i] == '\r';
    tm_add(b, " sum=0x%08x %s=", (unsigned)tm_fnv(p, size), text ? "text" : "hex");
    if (text)
        tm_add_escaped(b, p, shown);
    else
        tm_add_hex(b, p, shown);
    if (shown < size) tm_add(b, " cut=1");
    if (size > 6 && memcmp(p, "frame=", 6) == 0) {
        uint32_t frame = 0;
        size_t i = 6;
        while (i < size && p[i] >= '0' && p[i] <= '9') frame = frame * 10u + (uint32_t)(p[i++] - '0');
        if (i > 6 && i < size && p[i] == ';') tm_add(b, " frame=%u", (unsigned)frame);
    }
}

static void tm_begin(TmBuf *b, const char *kind) {
    memset(b, 0, sizeof *b);
    tm_add(b, "%s t=%llu", kind, (unsigned long long)tm_now_us());
}

/* Ends the line and writes it with one write(): O_APPEND keeps it whole. */
static void tm_end(TmBuf *b) {
    tm_add(b, "\n");
    if (!b->failed && g_logFd >= 0) {
        size_t off = 0;
        while (off < b->len) {
            ssize_t n = write(g_logFd, b->p + off, b->len - off);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            off += (size_t)n;
        }
    }
    free(b->p);
    memset(b, 0, sizeof *b);
}

/* ----------------------------------------------------------- configuration */

enum { TM_U32, TM_I32, TM_OPT };

typedef struct TmKey {
    const char *name;
    int type;
    size_t offset;
} TmKey;

#define TM_KEY(name, type, field) {name, type, offsetof(TmConfig, field)}
#define TM_MASK_KEY(k) {"mask" #k, TM_U32, offsetof(TmConfig, masks) + (k) * sizeof(uint32_t)}

static const TmKey g_keys[] = {
    TM_KEY("id", TM_U32, id),
    TM_MASK_KEY(0), TM_MASK_KEY(1), TM_MASK_KEY(2), TM_MASK_KEY(3), TM_MASK_KEY(4),
    TM_MASK_KEY(5), TM_MASK_KEY(6), TM_MASK_KEY(7), TM_MASK_KEY(8),
    TM_KEY("ioctlOnLoad", TM_U32, ioctlOnLoad),
    TM_KEY("hasReader", TM_U32, hasReader),
    TM_KEY("acceptsEvents", TM_U32, acceptsEvents),
    TM_KEY("loadReturn", TM_I32, loadReturn),
    TM_KEY("loadError", TM_I32, loadError),
    TM_KEY("openReturn", TM_I32, openReturn),
    TM_KEY("closeReturn", TM_I32, closeReturn),
    TM_KEY("unloadReturn", TM_I32, unloadReturn),
    TM_KEY("readReturn", TM_I32, readReturn),
    TM_KEY("writeReturn", TM_I32, writeReturn),
    TM_KEY("ioctlReturn", TM_I32, ioctlReturn),
    TM_KEY("seekReturn", TM_I32, seekReturn),
    TM_KEY("loadSleepMs", TM_U32, loadSleepMs),
    TM_KEY("openSleepMs", TM_U32, openSleepMs),
    TM_KEY("closeSleepMs", TM_U32, closeSleepMs),
    TM_KEY("unloadSleepMs", TM_U32, unloadSleepMs),
    TM_KEY("readSleepMs", TM_U32, readSleepMs),
    TM_KEY("writeSleepMs", TM_U32, writeSleepMs),
    TM_KEY("ioctlSleepMs", TM_U32, ioctlSleepMs),
    TM_KEY("readHoldMs", TM_U32, readHoldMs),
    TM_KEY("keep.write", TM_U32, keepWrite),
    TM_KEY("keep.ioctl", TM_U32, keepIoctl),
    TM_KEY("keepMax", TM_U32, keepMax),
    TM_KEY("releaseAfterMs", TM_OPT, releaseAfterMs),
    TM_KEY("release.source", TM_OPT, releaseSource),
    TM_KEY("provide", TM_U32, provide),
    TM_KEY("provide.count", TM_U32, provideCount),
    TM_KEY("provide.limit", TM_U32, provideLimit),
    TM_KEY("provide.size", TM_U32, provideSize),
    TM_KEY("provide.flags", TM_U32, provideFlags),
    TM_KEY("provide.class", TM_U32, provideClass),
    TM_KEY("provide.reg", TM_U32, provideReg),
    TM_KEY("provide.delayMs", TM_U32, provideDelayMs),
    TM_KEY("provide.intervalMs", TM_U32, provideIntervalMs),
    TM_KEY("provide.source", TM_OPT, provideSource),
    TM_KEY("provide.handle", TM_OPT, provideHandle),
    TM_KEY("stop.afterAnswers", TM_U32, stopAfterAnswers),
    TM_KEY("stop.source", TM_U32, stopSource),
    TM_KEY("stop.flags", TM_U32, stopFlags),
    TM_KEY("logMax", TM_U32, logMax),
    TM_KEY("crash.signal", TM_U32, crashSignal),
    TM_KEY("crash.delayMs", TM_U32, crashDelayMs),
    TM_KEY("crash.every", TM_U32, crashEvery),
    TM_KEY("sigpipe", TM_U32, sigpipe),
    TM_KEY("sleepOnCall", TM_U32, sleepOnCall),
};

static void tm_config_error(int line, const char *key, const char *reason) {
    TmBuf b;
    tm_begin(&b, "CONFIGERR");
    tm_add(&b, " line=%d key=", line);
    tm_add_escaped(&b, (const unsigned char *)key, strlen(key));
    tm_add(&b, " reason=%s", reason);
    tm_end(&b);
}

/* Decimal or 0x hex, optionally negative; the whole string must be a number. */
static int tm_parse_num(const char *s, long long *out) {
    int neg = 0, base = 10;
    if (*s == '-') {
        neg = 1;
        ++s;
    }
    if (s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        s += 2;
    }
    if (!(*s >= '0' && *s <= '9') && !(base == 16 && ((*s >= 'a' && *s <= 'f') || (*s >= 'A' && *s <= 'F'))))
        return -1;
    char *end;
    errno = 0;
    unsigned long long v = strtoull(s, &end, base);
    if (errno != 0 || *end != 0 || v > 0xFFFFFFFFull) return -1;
    *out = neg ? -(long long)v : (long long)v;
    return 0;
}

static int tm_parse_u32(const char *s, uint32_t *out) {
    long long v;
    if (tm_parse_num(s, &v) != 0 || v < 0) return -1;
    *out = (uint32_t)v;
    return 0;
}

static int tm_hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

/* Decodes the escapes of a recipe's text in place; returns the length. */
static size_t tm_unescape(char *s) {
    size_t out = 0;
    for (size_t i = 0; s[i] != 0; ++i) {
        char c = s[i];
        if (c == '\\' && s[i + 1] != 0) {
            char e = s[++i];
            if (e == 'n') c = '\n';
            else if (e == 'r') c = '\r';
            else if (e == 't') c = '\t';
            else if (e == '0') c = 0;
            else if (e == 'x' && tm_hex_digit(s[i + 1]) >= 0 && tm_hex_digit(s[i + 2]) >= 0) {
                c = (char)(tm_hex_digit(s[i + 1]) * 16 + tm_hex_digit(s[i + 2]));
                i += 2;
            } else
                c = e;
        }
        s[out++] = c;
    }
    s[out] = 0;
    return out;
}

/* Parses one submission recipe (value is modified). Returns 0 or -1. */
static int tm_parse_recipe(TmRecipe *recipe, char *value) {
    char *p = value;
    for (;;) {
        while (*p == ' ' || *p == '\t') ++p;
        if (*p == 0) return 0;
        if (strncmp(p, "text=", 5) == 0) {
            recipe->text = strdup(p + 5);
            if (recipe->text == NULL) return -1;
            recipe->textLen = tm_unescape(recipe->text);
            recipe->hasText = 1;
            return 0;
        }
        char *key = p;
        while (*p != 0 && *p != ' ' && *p != '\t') ++p;
        if (*p != 0) *p++ = 0;
        char *val = strchr(key, '=');
        if (val == NULL) return -1;
        *val++ = 0;
        uint32_t v = 0;
        if (strcmp(key, "handle") == 0 && strcmp(val, "cur") == 0) {
            recipe->handleCur = 1;
            continue;
        }
        if (strcmp(key, "ext") == 0) {
            size_t n = strlen(val);
            if (n % 2 != 0 || n / 2 > TM_EXT_SIZE) return -1;
            for (size_t i = 0; i < n / 2; ++i) {
                int hi = tm_hex_digit(val[2 * i]), lo = tm_hex_digit(val[2 * i + 1]);
                if (hi < 0 || lo < 0) return -1;
                recipe->ext[i] = (uint8_t)(hi * 16 + lo);
            }
            recipe->hasExt = 1;
            continue;
        }
        if (tm_parse_u32(val, &v) != 0) return -1;
        if (strcmp(key, "source") == 0) {
            recipe->source = v;
            recipe->hasSource = 1;
        } else if (strcmp(key, "flags") == 0) recipe->flags = v;
        else if (strcmp(key, "class") == 0) recipe->eventClass = v;
        else if (strcmp(key, "handle") == 0) recipe->handle = v;
        else if (strcmp(key, "reg") == 0 && v <= 0xFF) {
            recipe->reg = v;
            recipe->hasReg = 1;
        } else if (strcmp(key, "repeat") == 0) recipe->repeat = v;
        else if (strcmp(key, "size") == 0) recipe->size = v;
        else if (strcmp(key, "null") == 0) recipe->nullData = v != 0;
        else if (strcmp(key, "every") == 0 && v > 0) recipe->every = v;
        else if (strcmp(key, "max") == 0) recipe->max = v;
        else if (strcmp(key, "thread") == 0) recipe->threaded = v != 0;
        else if (strcmp(key, "delayMs") == 0) recipe->delayMs = v;
        else if (strcmp(key, "gapMs") == 0) recipe->gapMs = v;
        else if (strcmp(key, "onSource") == 0) recipe->onSource = (TmOpt){1, v};
        else if (strcmp(key, "onClass") == 0) recipe->onClass = (TmOpt){1, v};
        else if (strcmp(key, "onHandle") == 0) recipe->onHandle = (TmOpt){1, v};
        else return -1;
    }
}

static const char *const g_points[] = {"load", "open", "close", "unload", "read", "write", "ioctl1", "ioctl"};

static void tm_add_recipe(int line, const char *key, const char *point, int request, char *value) {
    int known = 0;
    for (size_t i = 0; i < sizeof g_points / sizeof g_points[0]; ++i) known |= strcmp(point, g_points[i]) == 0;
    if (!known) {
        tm_config_error(line, key, "unknown");
        return;
    }
    TmRecipe *recipes = realloc(g_cfg.recipes, (g_cfg.recipeCount + 1) * sizeof *recipes);
    if (recipes == NULL) return;
    g_cfg.recipes = recipes;
    TmRecipe *recipe = &recipes[g_cfg.recipeCount];
    memset(recipe, 0, sizeof *recipe);
    snprintf(recipe->point, sizeof recipe->point, "%s", point);
    recipe->request = request;
    recipe->index = (int)g_cfg.recipeCount + 1;
    recipe->repeat = 1;
    recipe->every = 1;
    if (tm_parse_recipe(recipe, value) != 0) {
        free(recipe->text);
        tm_config_error(line, key, "recipe");
        return;
    }
    ++g_cfg.recipeCount;
}

static void tm_set_key(int line, const char *key, char *value) {
    if (strncmp(key, "submit.", 7) == 0) {
        tm_add_recipe(line, key, key + 7, 0, value);
        return;
    }
    if (strncmp(key, "request.", 8) == 0) {
        tm_add_recipe(line, key, key + 8, 1, value);
        return;
    }
    if (strcmp(key, "releaseOn") == 0) {
        static const char *const modes[] = {"timer", "close", "unload", "never"};
        for (int i = 0; i < 4; ++i) {
            if (strcmp(value, modes[i]) == 0) {
                g_cfg.releaseMode = i;
                g_cfg.hasReleaseMode = 1;
                return;
            }
        }
        tm_config_error(line, key, "value");
        return;
    }
    if (strcmp(key, "crash") == 0) {
        if (strlen(value) >= sizeof g_cfg.crashPoint) {
            tm_config_error(line, key, "value");
            return;
        }
        strcpy(g_cfg.crashPoint, value);
        return;
    }
    if (strcmp(key, "keep") == 0) {
        uint32_t v;
        if (tm_parse_u32(value, &v) != 0) {
            tm_config_error(line, key, "value");
            return;
        }
        g_cfg.keepWrite = g_cfg.keepIoctl = v;
        return;
    }
    for (size_t i = 0; i < sizeof g_keys / sizeof g_keys[0]; ++i) {
        if (strcmp(key, g_keys[i].name) != 0) continue;
        char *field = (char *)&g_cfg + g_keys[i].offset;
        long long v;
        int ok = tm_parse_num(value, &v) == 0;
        if (ok && g_keys[i].type == TM_I32) {
            int32_t s = (int32_t)(uint32_t)v;
            memcpy(field, &s, sizeof s);
        } else if (ok && v >= 0 && g_keys[i].type == TM_U32) {
            uint32_t u = (uint32_t)v;
            memcpy(field, &u, sizeof u);
        } else if (ok && v >= 0 && g_keys[i].type == TM_OPT) {
            TmOpt o = {1, (uint32_t)v};
            memcpy(field, &o, sizeof o);
        } else {
            tm_config_error(line, key, "value");
        }
        return;
    }
    tm_config_error(line, key, "unknown");
}

static char *tm_trim(char *s) {
    while (*s == ' ' || *s == '\t') ++s;
    size_t n = strlen(s);
    while (n > 0 && (s[n - 1] == ' ' || s[n - 1] == '\t' || s[n - 1] == '\r')) s[--n] = 0;
    return s;
}

static void tm_default_config(void) {
    memset(&g_cfg, 0, sizeof g_cfg);
    g_cfg.id = TM_DEFAULT_ID;
    g_cfg.provideLimit = 1000000u;
    g_cfg.provideSize = 64;
    g_cfg.stopFlags = EVF_STOP;
    g_cfg.logMax = 256;
    g_cfg.releaseMode = TM_RELEASE_CLOSE;
    g_cfg.crashSignal = 11;
    g_cfg.crashEvery = 1;
}

/* Reads <path>.conf over the defaults; returns 1 when the file was there. */
static int tm_read_config(const char *confPath) {
    FILE *f = fopen(confPath, "re");
    if (f == NULL) return 0;
    char *text = NULL;
    size_t len = 0, cap = 0;
    char chunk[4096];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) {
        if (len + n + 1 > cap) {
            cap = (len + n + 1) * 2;
            char *grown = realloc(text, cap);
            if (grown == NULL) break;
            text = grown;
        }
        memcpy(text + len, chunk, n);
        len += n;
    }
    fclose(f);
    if (text == NULL) return 1;
    text[len] = 0;

    int line = 0;
    char *save = NULL;
    for (char *raw = text; raw != NULL; raw = save) {
        char *nl = strchr(raw, '\n');
        save = nl ? nl + 1 : NULL;
        if (nl) *nl = 0;
        ++line;
        char *s = tm_trim(raw);
        if (*s == 0 || *s == '#') continue;
        char *eq = strchr(s, '=');
        if (eq == NULL) {
            tm_config_error(line, s, "value");
            continue;
        }
        *eq = 0;
        char *key = tm_trim(s);
        char *value = tm_trim(eq + 1);
        tm_set_key(line, key, value);
    }
    free(text);
    if (!g_cfg.hasReleaseMode) g_cfg.releaseMode = g_cfg.releaseAfterMs.has ? TM_RELEASE_TIMER : TM_RELEASE_CLOSE;
    return 1;
}

/* ------------------------------------------------------------ submitting */

static FlatPluginEventFn tm_entry(void) {
    pthread_mutex_lock(&g_lock);
    FlatPluginEventFn entry = g_entry;
    pthread_mutex_unlock(&g_lock);
    return entry;
}

static void tm_init_event(_EventParmsIn *ev) {
    memset(ev, 0, sizeof *ev);
    ev->size = sizeof *ev;
    ev->version = 1;
}

/* Submits ev; fills *result and *us. Returns 0, or -1 without eventEntry. */
static int tm_submit(const _EventParmsIn *ev, int32_t *result, uint64_t *us) {
    FlatPluginEventFn entry = tm_entry();
    if (entry == NULL) return -1;
    _EventParmsOut out;
    memset(&out, 0, sizeof out);
    out.size = sizeof out;
    out.version = 1;
    out.result = TM_RESULT_UNSET;
    uint64_t t0 = tm_now_us();
    entry(ev, &out);
    *us = tm_now_us() - t0;
    *result = out.result;
    return 0;
}

static void tm_add_result(TmBuf *b, int sent, int32_t result, uint64_t us) {
    if (sent == 0)
        tm_add(b, " result=%d us=%llu", (int)result, (unsigned long long)us);
    else
        tm_add(b, " result=none us=0");
}

/* One firing of a recipe: its repeats, each logged as SUBMIT or REQUEST. */
static void tm_run_recipe(TmRecipe *recipe, const TmCtx *ctx, uint32_t n, int threaded) {
    for (uint32_t rep = 1; rep <= recipe->repeat; ++rep) {
        uint32_t wait = rep == 1 ? recipe->delayMs : recipe->gapMs;
        if (wait > 0 && tm_wait_unless_stopping(wait) && threaded) break;
        if (threaded && tm_is_stopping()) break;

        pthread_mutex_lock(&g_lock);
        uint32_t frame = ++recipe->submitted;
        pthread_mutex_unlock(&g_lock);

        _EventParmsIn ev;
        tm_init_event(&ev);
        ev.sourceId = recipe->hasSource ? recipe->source : recipe->request ? 0 : g_cfg.id;
        ev.flags = recipe->flags;
        ev.eventClass = recipe->eventClass;
        ev.requestHandle = recipe->handleCur ? ctx->handle : recipe->handle;
        if (recipe->hasExt) memcpy(ev.extension, recipe->ext, TM_EXT_SIZE);
        if (recipe->hasReg) EVENT_REGISTRATION(&ev) = (uint8_t)recipe->reg;
        unsigned char *payload = NULL;
        if (recipe->nullData) {
            ev.dataSize = recipe->size;
        } else if (recipe->hasText) {
            payload = malloc(recipe->textLen ? recipe->textLen : 1);
            if (payload != NULL) memcpy(payload, recipe->text, recipe->textLen);
            ev.dataSize = (uint32_t)recipe->textLen;
        } else if (recipe->size > 0) {
            payload = tm_make_payload(frame, recipe->size);
            ev.dataSize = recipe->size;
        }
        ev.data = payload;

        int32_t result = 0;
        uint64_t us = 0;
        int sent = tm_submit(&ev, &result, &us);

        TmBuf b;
        tm_begin(&b, recipe->request ? "REQUEST" : "SUBMIT");
        tm_add(&b, " at=%s recipe=%d n=%u rep=%u source=0x%x flags=0x%x class=0x%x handle=0x%x reg=%u size=%u",
               recipe->point, recipe->index, (unsigned)n, (unsigned)rep, (unsigned)ev.sourceId, (unsigned)ev.flags,
               (unsigned)ev.eventClass, (unsigned)ev.requestHandle, (unsigned)EVENT_REGISTRATION(&ev),
               (unsigned)ev.dataSize);
        tm_add_payload(&b, payload, ev.dataSize);
        tm_add_result(&b, sent, result, us);
        tm_add(&b, " tid=%ld", tm_tid());
        tm_end(&b);
        free(payload);
    }
}

static void *tm_worker_main(void *arg) {
    TmWork *work = arg;
    tm_run_recipe(work->recipe, &work->ctx, work->n, 1);
    free(work);
    return NULL;
}

/* Fires the recipes of a point whose filters match ctx. */
static void tm_fire(const char *point, const TmCtx *ctx) {
    int inlineOnly = strcmp(point, "close") == 0 || strcmp(point, "unload") == 0;
    for (size_t i = 0; i < g_cfg.recipeCount; ++i) {
        TmRecipe *recipe = &g_cfg.recipes[i];
        if (strcmp(recipe->point, point) != 0) continue;
        if (recipe->onSource.has && recipe->onSource.value != ctx->source) continue;
        if (recipe->onClass.has && recipe->onClass.value != ctx->eventClass) continue;
        if (recipe->onHandle.has && recipe->onHandle.value != ctx->handle) continue;

        pthread_mutex_lock(&g_lock);
        int fire = ++recipe->seen % recipe->every == 0 && (recipe->max == 0 || recipe->fired < recipe->max);
        uint32_t n = fire ? ++recipe->fired : 0;
        pthread_mutex_unlock(&g_lock);
        if (!fire) continue;

        if (recipe->threaded && !inlineOnly) {
            TmWork *work = malloc(sizeof *work);
            if (work != NULL) {
                work->recipe = recipe;
                work->ctx = *ctx;
                work->n = n;
                pthread_mutex_lock(&g_lock);
                int started = g_workerCount < TM_MAX_WORKERS &&
                              pthread_create(&g_workers[g_workerCount], NULL, tm_worker_main, work) == 0;
                if (started) ++g_workerCount;
                pthread_mutex_unlock(&g_lock);
                if (started) continue;
                free(work);
            }
        }
        tm_run_recipe(recipe, ctx, n, 0);
    }
}

static void tm_join_workers(void) {
    pthread_t workers[TM_MAX_WORKERS];
    pthread_mutex_lock(&g_lock);
    size_t count = g_workerCount;
    memcpy(workers, g_workers, count * sizeof workers[0]);
    g_workerCount = 0;
    pthread_mutex_unlock(&g_lock);
    for (size_t i = 0; i < count; ++i) pthread_join(workers[i], NULL);
}

/* ---------------------------------------------------------------- releases */

static void tm_release(const TmKept *kept, const char *when) {
    /* A kept payload must not change (or be freed) before it is given back. */
    int intact = tm_fnv(kept->ptr, kept->size) == kept->sum;
    _EventParmsIn ev;
    tm_init_event(&ev);
    ev.flags = EVF_RELEASE;
    ev.data = kept->ptr;
    ev.dataSize = kept->size;
    ev.sourceId = g_cfg.releaseSource.has ? g_cfg.releaseSource.value : g_cfg.id;
    int32_t result = 0;
    uint64_t us = 0;
    int sent = tm_submit(&ev, &result, &us);
    TmBuf b;
    tm_begin(&b, "RELEASE");
    tm_add(&b, " ptr=0x%lx size=%u intact=%d source=0x%x", tm_ptr(kept->ptr), (unsigned)kept->size, intact,
           (unsigned)ev.sourceId);
    tm_add_result(&b, sent, result, us);
    tm_add(&b, " when=%s tid=%ld", when, tm_tid());
    tm_end(&b);
}

static void *tm_releaser_main(void *arg) {
    (void)arg;
    pthread_mutex_lock(&g_lock);
    while (!g_releaserStop) {
        size_t first = g_keptCount;
        for (size_t i = 0; i < g_keptCount; ++i)
            if (first == g_keptCount || g_kept[i].due < g_kept[first].due) first = i;
        if (first == g_keptCount) {
            pthread_cond_wait(&g_cond, &g_lock);
            continue;
        }
        uint64_t due = g_kept[first].due;
        if (due > tm_now_us()) {
            struct timespec ts;
            ts.tv_sec = (time_t)(due / 1000000u);
            ts.tv_nsec = (long)(due % 1000000u) * 1000L;
            pthread_cond_timedwait(&g_cond, &g_lock, &ts);
            continue;
        }
        TmKept kept = g_kept[first];
        g_kept[first] = g_kept[--g_keptCount];
        pthread_mutex_unlock(&g_lock);
        tm_release(&kept, "timer");
        pthread_mutex_lock(&g_lock);
    }
    pthread_mutex_unlock(&g_lock);
    return NULL;
}

/* Decides out->keep for a delivery (keepMax counts all deliveries kept). */
static uint32_t tm_keep(uint32_t configured) {
    if (!configured) return 0;
    pthread_mutex_lock(&g_lock);
    uint32_t keep = g_cfg.keepMax == 0 || g_keptTotal < g_cfg.keepMax;
    if (keep) ++g_keptTotal;
    pthread_mutex_unlock(&g_lock);
    return keep;
}

static void tm_hold(void *data, uint32_t size) {
    if (data == NULL) return;
    pthread_mutex_lock(&g_lock);
    if (g_keptCount == g_keptCap) {
        size_t cap = g_keptCap ? g_keptCap * 2 : 16;
        TmKept *grown = realloc(g_kept, cap * sizeof *grown);
        if (grown == NULL) {
            pthread_mutex_unlock(&g_lock);
            return;
        }
        g_kept = grown;
        g_keptCap = cap;
    }
    uint32_t after = g_cfg.releaseAfterMs.has ? g_cfg.releaseAfterMs.value : 0;
    g_kept[g_keptCount].ptr = data;
    g_kept[g_keptCount].size = size;
    g_kept[g_keptCount].sum = tm_fnv(data, size);
    g_kept[g_keptCount].due = tm_now_us() + (uint64_t)after * 1000u;
    ++g_keptCount;
    /* Not while a stopping releaser is being joined: it must see its stop. */
    if (g_cfg.releaseMode == TM_RELEASE_TIMER && !g_releaserRunning && !g_releaserStop) {
        g_releaserRunning = pthread_create(&g_releaser, NULL, tm_releaser_main, NULL) == 0;
    }
    pthread_cond_broadcast(&g_cond);
    pthread_mutex_unlock(&g_lock);
}

static void tm_stop_releaser(void) {
    pthread_mutex_lock(&g_lock);
    int running = g_releaserRunning && !g_releaserStop;
    pthread_t thread = g_releaser;
    if (running) {
        g_releaserStop = 1;
        pthread_cond_broadcast(&g_cond);
    }
    pthread_mutex_unlock(&g_lock);
    if (!running) return;
    pthread_join(thread, NULL);
    pthread_mutex_lock(&g_lock);
    g_releaserRunning = 0;
    g_releaserStop = 0;
    pthread_mutex_unlock(&g_lock);
}

static void tm_release_all(const char *when) {
    pthread_mutex_lock(&g_lock);
    TmKept *kept = g_kept;
    size_t count = g_keptCount;
    g_kept = NULL;
    g_keptCount = g_keptCap = 0;
    pthread_mutex_unlock(&g_lock);
    for (size_t i = 0; i < count; ++i) tm_release(&kept[i], when);
    free(kept);
}

static size_t tm_held(void) {
    pthread_mutex_lock(&g_lock);
    size_t held = g_keptCount;
    pthread_mutex_unlock(&g_lock);
    return held;
}

/* Begins the shutdown of Close/Unload: ends waits, loops and threads. */
static void tm_wind_down(void) {
    pthread_mutex_lock(&g_lock);
    g_stopping = 1;
    pthread_cond_broadcast(&g_cond);
    pthread_mutex_unlock(&g_lock);
    tm_stop_releaser();
    tm_join_workers();
}

/* ---------------------------------------------------------- map / unmap */

__attribute__((constructor)) static void tm_init(void) {
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(&g_cond, &attr);
    pthread_condattr_destroy(&attr);
    tm_default_config();

    Dl_info info;
    if (dladdr(&g_anchor, &info) == 0 || info.dli_fname == NULL) return;
    /* Made absolute now: the service may change its directory later. */
    char cwd[4096] = "";
    if (info.dli_fname[0] != '/' && getcwd(cwd, sizeof cwd) == NULL) return;
    size_t len = strlen(cwd) + strlen(info.dli_fname) + 8;
    g_path = malloc(len);
    char *logPath = malloc(len);
    char *confPath = malloc(len);
    if (g_path == NULL || logPath == NULL || confPath == NULL) {
        free(logPath);
        free(confPath);
        return;
    }
    snprintf(g_path, len, "%s%s%s", cwd, cwd[0] ? "/" : "", info.dli_fname);
    snprintf(logPath, len, "%s.log", g_path);
    snprintf(confPath, len, "%s.conf", g_path);
    g_logFd = open(logPath, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    int found = tm_read_config(confPath);

    TmBuf b;
    tm_begin(&b, "INIT");
    tm_add(&b, " path=");
    tm_add_escaped(&b, (const unsigned char *)g_path, strlen(g_path));
    tm_add(&b, " conf=%d pid=%ld tid=%ld", found, (long)getpid(), tm_tid());
    tm_end(&b);
    free(logPath);
    free(confPath);
}

__attribute__((destructor)) static void tm_fini(void) {
    pthread_mutex_lock(&g_lock);
    size_t threads = g_workerCount + (g_releaserRunning ? 1u : 0u);
    g_entry = NULL;
    pthread_mutex_unlock(&g_lock);
    TmBuf b;
    tm_begin(&b, "FINI");
    tm_add(&b, " threads=%zu", threads);
    tm_end(&b);
    /* Only reached with threads when Close/Unload never came. */
    if (threads > 0) tm_wind_down();
    for (size_t i = 0; i < g_cfg.recipeCount; ++i) free(g_cfg.recipes[i].text);
    free(g_cfg.recipes);
    free(g_kept);
    free(g_path);
    if (g_logFd >= 0) close(g_logFd);
    g_logFd = -1;
}

/* ------------------------------------------------------------ failing */

/* Whether the n-th call of Read, Write or IOCTL sleeps (sleepOnCall). */
static int tm_sleeps_in(uint32_t n) { return g_cfg.sleepOnCall == 0 || n == g_cfg.sleepOnCall; }

/* Fails as configured when point is the crash point and n its turn. */
static void tm_crash_at(const char *point, uint32_t n) {
    if (strcmp(g_cfg.crashPoint, point) != 0 || n != g_cfg.crashEvery) return;
    tm_sleep_ms(g_cfg.crashDelayMs);
    TmBuf b;
    tm_begin(&b, "CRASH");
    tm_add(&b, " at=%s signal=%u tid=%ld", point, (unsigned)g_cfg.crashSignal, tm_tid());
    tm_end(&b);
    if (g_cfg.crashSignal == 0) exit(70);
    if (g_cfg.crashSignal == 11) {
        /* Not NULL, which UBSan would catch first: an unmapped low page. */
        volatile uintptr_t nowhere = 16;
        *(volatile int *)nowhere = 1;
    }
    raise((int)g_cfg.crashSignal);
}

static void *tm_crash_thread(void *unused) {
    (void)unused;
    tm_crash_at("thread", 1);
    return NULL;
}

/* A write to a pipe nobody reads any more: EPIPE, or SIGPIPE by default. */
static void tm_write_broken_pipe(void) {
    int fds[2];
    if (pipe(fds) != 0) return;
    close(fds[0]);
    ssize_t r = write(fds[1], "x", 1);
    int error = r < 0 ? errno : 0;
    close(fds[1]);
    TmBuf b;
    tm_begin(&b, "PIPE");
    tm_add(&b, " result=%ld errno=%d tid=%ld", (long)r, error, tm_tid());
    tm_end(&b);
}

/* ------------------------------------------------------------ entry points */

int32_t Load(void *in, void *out);
int32_t Unload(void *in, void *out);
int32_t Open(void *in, void *out);
int32_t Close(void *in, void *out);
int32_t Read(void *in, void *out);
int32_t Write(void *in, void *out);
int32_t Seek(void *in, void *out);
int32_t IOCTL(void *in, void *out);

static const TmCtx g_noCtx = {0, 0, 0};

/* CLOSE and UNLOAD share their line: both blocks are header + reserved. */
static void tm_log_lifecycle(const char *kind, const void *in, const void *out, size_t outSize) {
    const uint32_t *inHead = in, *outHead = out;
    TmBuf b;
    tm_begin(&b, kind);
    if (in != NULL) tm_add(&b, " insize=%u inver=%u", (unsigned)inHead[0], (unsigned)inHead[1]);
    if (out != NULL)
        tm_add(&b, " outsize=%u outver=%u outzero=%d", (unsigned)outHead[0], (unsigned)outHead[1],
               tm_zero_after_header(out, outSize));
    tm_add(&b, " held=%zu tid=%ld", tm_held(), tm_tid());
    tm_end(&b);
}

#if TM_HAS(TM_BIT_LOAD)
TM_EXPORT int32_t Load(void *vin, void *vout) {
    _LoadParmsIn *in = vin;
    _LoadParmsOut *out = vout;
    TmBuf b;
    tm_begin(&b, "LOAD");
    if (in != NULL)
        tm_add(&b, " insize=%u inver=%u core=0x%lx entry=0x%lx", (unsigned)in->size, (unsigned)in->version,
               tm_ptr(in->core), (unsigned long)(uintptr_t)in->eventEntry);
    if (out != NULL)
        tm_add(&b, " outsize=%u outver=%u outzero=%d", (unsigned)out->size, (unsigned)out->version,
               tm_zero_after_header(out, sizeof *out));
    tm_add(&b, " id=0x%x ret=%d error=%d pid=%ld tid=%ld", (unsigned)g_cfg.id, (int)g_cfg.loadReturn,
           (int)g_cfg.loadError, (long)getpid(), tm_tid());
    tm_end(&b);
    if (in == NULL || out == NULL) return -1;

    pthread_mutex_lock(&g_lock);
    g_entry = in->eventEntry;
    g_stopping = 0;
    pthread_mutex_unlock(&g_lock);

    out->moduleId = g_cfg.id;
    memcpy(out->masks, g_cfg.masks, sizeof out->masks);
    out->ioctlOnLoad = (uint8_t)g_cfg.ioctlOnLoad;
    out->hasReader = (uint8_t)g_cfg.hasReader;
    out->acceptsEvents = (uint8_t)g_cfg.acceptsEvents;
    out->error = g_cfg.loadError;

    if (g_cfg.loadSleepMs) tm_sleep_ms(g_cfg.loadSleepMs);
    tm_crash_at("load", 1);
    tm_fire("load", &g_noCtx);
    return g_cfg.loadReturn;
}
#endif

#if TM_HAS(TM_BIT_UNLOAD)
TM_EXPORT int32_t Unload(void *in, void *out) {
    tm_log_lifecycle("UNLOAD", in, out, sizeof(_UnloadParmsOut));
    if (g_cfg.unloadSleepMs) tm_sleep_ms(g_cfg.unloadSleepMs);
    tm_crash_at("unload", 1);
    tm_wind_down();
    if (g_cfg.releaseMode != TM_RELEASE_NEVER) tm_release_all("unload");
    tm_fire("unload", &g_noCtx);
    /* Nothing of this module may reach the service after Unload. */
    pthread_mutex_lock(&g_lock);
    g_entry = NULL;
    pthread_mutex_unlock(&g_lock);
    return g_cfg.unloadReturn;
}
#endif

#if TM_HAS(TM_BIT_OPEN)
TM_EXPORT int32_t Open(void *vin, void *vout) {
    const _OpenParmsIn *in = vin;
    const _OpenParmsOut *out = vout;
    TmBuf b;
    tm_begin(&b, "OPEN");
    if (in != NULL) tm_add(&b, " insize=%u inver=%u", (unsigned)in->size, (unsigned)in->version);
    if (out != NULL)
        tm_add(&b, " outsize=%u outver=%u outzero=%d", (unsigned)out->size, (unsigned)out->version,
               tm_zero_after_header(out, sizeof *out));
    tm_add(&b, " tid=%ld", tm_tid());
    tm_end(&b);

    pthread_mutex_lock(&g_lock);
    g_stopping = 0;
    pthread_mutex_unlock(&g_lock);
    if (g_cfg.openSleepMs) tm_sleep_ms(g_cfg.openSleepMs);
    tm_crash_at("open", 1);
    if (strcmp(g_cfg.crashPoint, "thread") == 0) {
        pthread_t crasher;
        if (pthread_create(&crasher, NULL, tm_crash_thread, NULL) == 0) pthread_detach(crasher);
    }
    tm_fire("open", &g_noCtx);
    return g_cfg.openReturn;
}
#endif

#if TM_HAS(TM_BIT_CLOSE)
TM_EXPORT int32_t Close(void *in, void *out) {
    tm_log_lifecycle("CLOSE", in, out, sizeof(_CloseParmsOut));
    if (g_cfg.closeSleepMs) tm_sleep_ms(g_cfg.closeSleepMs);
    tm_crash_at("close", 1);
    tm_wind_down();
    if (g_cfg.releaseMode == TM_RELEASE_TIMER || g_cfg.releaseMode == TM_RELEASE_CLOSE) tm_release_all("close");
    tm_fire("close", &g_noCtx);
    return g_cfg.closeReturn;
}
#endif

#if TM_HAS(TM_BIT_READ)
/* Answers a request until told to stop; returns the READEND reason. */
static const char *tm_provide(uint32_t handle, uint32_t *answers, uint32_t *sent) {
    if (g_cfg.provideDelayMs && tm_wait_unless_stopping(g_cfg.provideDelayMs)) return "closing";
    for (uint32_t seq = 1;; ++seq) {
        if (g_cfg.provideCount != 0 && seq > g_cfg.provideCount) return "count";
        if (seq > g_cfg.provideLimit) return "limit";
        if (seq > 1 && g_cfg.provideIntervalMs && tm_wait_unless_stopping(g_cfg.provideIntervalMs)) return "closing";
        if (tm_is_stopping()) return "closing";

        _EventParmsIn ev;
        tm_init_event(&ev);
        ev.sourceId = g_cfg.provideSource.has ? g_cfg.provideSource.value : g_cfg.id;
        ev.requestHandle = g_cfg.provideHandle.has ? g_cfg.provideHandle.value : handle;
        ev.flags = g_cfg.provideFlags;
        ev.eventClass = g_cfg.provideClass;
        EVENT_REGISTRATION(&ev) = (uint8_t)g_cfg.provideReg;
        unsigned char *payload = g_cfg.provideSize ? tm_make_payload(seq, g_cfg.provideSize) : NULL;
        ev.data = payload;
        ev.dataSize = payload ? g_cfg.provideSize : 0;

        int32_t result = 0;
        uint64_t us = 0;
        int rc = tm_submit(&ev, &result, &us);
        ++*sent;
        TmBuf b;
        tm_begin(&b, "ANSWER");
        tm_add(&b, " handle=0x%x seq=%u source=0x%x flags=0x%x class=0x%x size=%u sum=0x%08x",
               (unsigned)ev.requestHandle, (unsigned)seq, (unsigned)ev.sourceId, (unsigned)ev.flags,
               (unsigned)ev.eventClass, (unsigned)ev.dataSize,
               (unsigned)tm_fnv(payload, payload ? ev.dataSize : 0));
        tm_add_result(&b, rc, result, us);
        tm_add(&b, " tid=%ld", tm_tid());
        tm_end(&b);
        free(payload);
        if (rc != 0) return "noentry";
        if (result != EVR_OK) return result == EVR_HANDLE_REFUSED ? "refused" : "error";
        ++*answers;
    }
}

TM_EXPORT int32_t Read(void *vin, void *vout) {
    const _ReadParmsIn *in = vin;
    const _ReadParmsOut *out = vout;
    pthread_mutex_lock(&g_lock);
    uint32_t n = ++g_readCalls;
    pthread_mutex_unlock(&g_lock);
    uint32_t handle = in != NULL ? in->requestHandle : 0;

    TmBuf b;
    tm_begin(&b, "READ");
    tm_add(&b, " n=%u", (unsigned)n);
    if (in != NULL) {
        tm_add(&b, " insize=%u inver=%u code=%u async=%u handle=0x%x size=%u ptr=0x%lx", (unsigned)in->size,
               (unsigned)in->version, (unsigned)in->code, (unsigned)in->async, (unsigned)handle,
               (unsigned)in->dataSize, tm_ptr(in->data));
        tm_add_payload(&b, in->data, in->dataSize);
        tm_add(&b, " gapzero=%d", tm_read_gaps_zero(in));
    }
    if (out != NULL)
        tm_add(&b, " outsize=%u outver=%u outzero=%d", (unsigned)out->size, (unsigned)out->version,
               tm_zero_after_header(out, sizeof *out));
    tm_add(&b, " tid=%ld", tm_tid());
    tm_end(&b);

    if (g_cfg.readSleepMs && tm_sleeps_in(n)) tm_sleep_ms(g_cfg.readSleepMs);
    tm_crash_at("read", n);
    if (g_cfg.readHoldMs) tm_wait_unless_stopping(g_cfg.readHoldMs);
    TmCtx ctx = {0, 0, handle};
    tm_fire("read", &ctx);

    uint32_t answers = 0, sent = 0;
    const char *reason = "none";
    if (handle != 0 && g_cfg.provide) reason = tm_provide(handle, &answers, &sent);
    tm_begin(&b, "READEND");
    tm_add(&b, " n=%u handle=0x%x answers=%u sent=%u reason=%s tid=%ld", (unsigned)n, (unsigned)handle,
           (unsigned)answers, (unsigned)sent, reason, tm_tid());
    tm_end(&b);
    return g_cfg.readReturn;
}
#endif

#if TM_HAS(TM_BIT_WRITE)
/* Counts an answer for its handle; 1 when it is the one that calls for a stop. */
static int tm_count_answer(uint32_t handle, uint32_t *answers) {
    int stop = 0;
    pthread_mutex_lock(&g_lock);
    size_t i = 0;
    while (i < g_handleCount && g_handles[i].handle != handle) ++i;
    if (i == g_handleCount && g_handleCount < TM_MAX_HANDLES) {
        g_handles[i].handle = handle;
        g_handles[i].answers = 0;
        g_handles[i].stopped = 0;
        ++g_handleCount;
    }
    if (i < g_handleCount) {
        *answers = ++g_handles[i].answers;
        if (*answers >= g_cfg.stopAfterAnswers && !g_handles[i].stopped) {
            g_handles[i].stopped = 1;
            stop = 1;
        }
    }
    pthread_mutex_unlock(&g_lock);
    return stop;
}

TM_EXPORT int32_t Write(void *vin, void *vout) {
    const _WriteParmsIn *in = vin;
    _WriteParmsOut *out = vout;
    pthread_mutex_lock(&g_lock);
    uint32_t n = ++g_writeCalls;
    pthread_mutex_unlock(&g_lock);

    uint32_t keep = 0;
    if (in != NULL && out != NULL) keep = tm_keep(g_cfg.keepWrite);

    TmBuf b;
    tm_begin(&b, "WRITE");
    tm_add(&b, " n=%u", (unsigned)n);
    if (in != NULL) {
        tm_add(&b, " insize=%u inver=%u code=%u async=%u source=0x%x flags=0x%x class=0x%x handle=0x%x size=%u ptr=0x%lx",
               (unsigned)in->size, (unsigned)in->version, (unsigned)in->code, (unsigned)in->async,
               (unsigned)in->sourceId, (unsigned)in->flags, (unsigned)in->eventClass, (unsigned)in->requestHandle,
               (unsigned)in->dataSize, tm_ptr(in->data));
        tm_add_payload(&b, in->data, in->dataSize);
        size_t extLen = TM_EXT_SIZE;
        while (extLen > 0 && in->extension[extLen - 1] == 0) --extLen;
        tm_add(&b, " reg=%u extsum=0x%08x ext=", (unsigned)in->extension[EVENT_REGISTRATION_OFFSET],
               (unsigned)tm_fnv(in->extension, TM_EXT_SIZE));
        tm_add_hex(&b, in->extension, extLen);
        tm_add(&b, " gapzero=%d", tm_write_gaps_zero(in));
    }
    if (out != NULL)
        tm_add(&b, " outsize=%u outver=%u outzero=%d", (unsigned)out->size, (unsigned)out->version,
               tm_zero_after_header(out, sizeof *out));
    tm_add(&b, " keep=%u tid=%ld", (unsigned)keep, tm_tid());
    tm_end(&b);
    if (in == NULL || out == NULL) return g_cfg.writeReturn;

    out->keep = keep;
    if (keep) tm_hold(in->data, in->dataSize);
    if (g_cfg.writeSleepMs && tm_sleeps_in(n)) tm_sleep_ms(g_cfg.writeSleepMs);
    if (g_cfg.sigpipe) tm_write_broken_pipe();
    tm_crash_at("write", n);

    uint32_t answers = 0;
    if (g_cfg.stopAfterAnswers && in->requestHandle != 0 && in->sourceId != 0 &&
        tm_count_answer(in->requestHandle, &answers)) {
        _EventParmsIn ev;
        tm_init_event(&ev);
        ev.sourceId = g_cfg.stopSource;
        ev.flags = g_cfg.stopFlags;
        ev.requestHandle = in->requestHandle;
        int32_t result = 0;
        uint64_t us = 0;
        int rc = tm_submit(&ev, &result, &us);
        tm_begin(&b, "STOP");
        tm_add(&b, " handle=0x%x answers=%u source=0x%x flags=0x%x", (unsigned)ev.requestHandle, (unsigned)answers,
               (unsigned)ev.sourceId, (unsigned)ev.flags);
        tm_add_result(&b, rc, result, us);
        tm_add(&b, " tid=%ld", tm_tid());
        tm_end(&b);
    }

    TmCtx ctx = {in->sourceId, in->eventClass, in->requestHandle};
    tm_fire("write", &ctx);
    return g_cfg.writeReturn;
}
#endif

#if TM_HAS(TM_BIT_SEEK)
TM_EXPORT int32_t Seek(void *in, void *out) {
    (void)in;
    (void)out;
    TmBuf b;
    tm_begin(&b, "SEEK");
    tm_add(&b, " tid=%ld", tm_tid());
    tm_end(&b);
    return g_cfg.seekReturn;
}
#endif

#if TM_HAS(TM_BIT_IOCTL)
TM_EXPORT int32_t IOCTL(void *vin, void *vout) {
    const _IOCTLParmsIn *in = vin;
    _IOCTLParmsOut *out = vout;
    pthread_mutex_lock(&g_lock);
    uint32_t n = ++g_ioctlCalls;
    pthread_mutex_unlock(&g_lock);
    uint32_t code = in != NULL ? in->code : 0;
    int delivery = code == IOCTL_EVENT_OTHERS || code == IOCTL_EVENT_ALL;

    uint32_t keep = 0;
    if (delivery && out != NULL) keep = tm_keep(g_cfg.keepIoctl);

    TmBuf b;
    tm_begin(&b, "IOCTL");
    tm_add(&b, " n=%u", (unsigned)n);
    if (in != NULL) {
        tm_add(&b, " code=%u insize=%u inver=%u argSize=%u argVersion=%u size=%u ptr=0x%lx", (unsigned)code,
               (unsigned)in->size, (unsigned)in->version, (unsigned)in->argSize, (unsigned)in->argVersion,
               (unsigned)in->dataSize, tm_ptr(in->data));
        tm_add_payload(&b, in->data, in->dataSize);
    }
    if (out != NULL)
        tm_add(&b, " outsize=%u outver=%u outcode=%u outkeep=%u outargSize=%u outargVersion=%u", (unsigned)out->size,
               (unsigned)out->version, (unsigned)out->code, (unsigned)out->keep, (unsigned)out->argSize,
               (unsigned)out->argVersion);
    tm_add(&b, " keep=%u tid=%ld", (unsigned)keep, tm_tid());
    tm_end(&b);
    if (in == NULL || out == NULL) return g_cfg.ioctlReturn;

    if (delivery) {
        out->keep = keep;
        if (keep) tm_hold(in->data, in->dataSize);
    }
    if (g_cfg.ioctlSleepMs && tm_sleeps_in(n)) tm_sleep_ms(g_cfg.ioctlSleepMs);
    tm_crash_at(code == IOCTL_AFTER_LOAD ? "ioctl1" : "ioctl", n);
    TmCtx ctx = {0, 0, 0};
    tm_fire(code == IOCTL_AFTER_LOAD ? "ioctl1" : "ioctl", &ctx);
    return g_cfg.ioctlReturn;
}
#endif
