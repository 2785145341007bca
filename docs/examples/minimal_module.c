/*
 * minimal_module.c - a complete Selvar module in a few lines: it says so
 * when it is opened, and answers every document the service sends to all
 * modules with a one-line status event (class 0x00001000, flag EVF_MASK7).
 * Threads: Load and Open run on the service's main thread, IOCTL on the
 * dispatch thread.
 */
#include <stdio.h>
#include <string.h>

#include "plugin_interface.h"
#include "event_record.h"

#define MINIMAL_ID 0x00600001u   /* unique among the loaded modules */
#define STATUS_CLASS 0x00001000u /* for whoever subscribes to it with mask 7 */

static FlatPluginEventFn submitEvent; /* the service's entry, from Load */

static void sendStatus(const char *text) {
    _EventParmsIn in;
    _EventParmsOut out;
    memset(&in, 0, sizeof in);
    memset(&out, 0, sizeof out);
    in.size = sizeof in;
    in.version = 1;
    in.dataSize = (uint32_t)strlen(text); /* exact length, no NUL */
    in.data = (void *)text;               /* the service copies it */
    in.sourceId = MINIMAL_ID;
    in.flags = EVF_MASK7;
    in.eventClass = STATUS_CLASS;
    out.size = sizeof out;
    out.version = 1;
    submitEvent(&in, &out); /* out.result: EVR_OK, or why not */
}

SELVAR_MODULE_EXPORT int32_t Load(void *inBlock, void *outBlock) {
    const _LoadParmsIn *in = (const _LoadParmsIn *)inBlock;
    _LoadParmsOut *out = (_LoadParmsOut *)outBlock;
    submitEvent = in->eventEntry;
    out->moduleId = MINIMAL_ID;
    /* All masks 0, no reader, no Write: only IOCTL events reach us. */
    return 0;
}

SELVAR_MODULE_EXPORT int32_t Open(void *in, void *out) {
    (void)in;
    (void)out;
    sendStatus("minimal module: open");
    return 0;
}

SELVAR_MODULE_EXPORT int32_t IOCTL(void *inBlock, void *outBlock) {
    const _IOCTLParmsIn *in = (const _IOCTLParmsIn *)inBlock;
    char text[64];
    (void)outBlock; /* keep stays 0: nothing is used after returning */
    if (in->code != IOCTL_EVENT_OTHERS && in->code != IOCTL_EVENT_ALL) return 0;
    snprintf(text, sizeof text, "minimal module: document of %lu bytes", (unsigned long)in->dataSize);
    sendStatus(text);
    return 0;
}
