/*
 * module_common.h - what every bench module shares: the export marker and
 * the number in the module's own file name, which makes each copy of one
 * .so file a module of its own (bench_sink_03.so is sink number 3).
 */
#ifndef SELVAR_BENCH_MODULE_COMMON_H
#define SELVAR_BENCH_MODULE_COMMON_H

#include <dlfcn.h>
#include <stdlib.h>
#include <string.h>

#define EXPORT __attribute__((visibility("default")))

/* The decimal number between the last '_' and ".so" in the file name of the
 * object that holds `anchor`; -1 when there is none. */
static inline long bench_module_number(const void *anchor) {
    Dl_info info;
    const char *name;
    const char *underscore;
    char *end;
    long number;
    if (dladdr(anchor, &info) == 0 || info.dli_fname == NULL) return -1;
    name = strrchr(info.dli_fname, '/');
    name = name != NULL ? name + 1 : info.dli_fname;
    underscore = strrchr(name, '_');
    if (underscore == NULL || underscore[1] < '0' || underscore[1] > '9') return -1;
    number = strtol(underscore + 1, &end, 10);
    if (strcmp(end, ".so") != 0) return -1;
    return number;
}

#endif /* SELVAR_BENCH_MODULE_COMMON_H */
