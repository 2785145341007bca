/*
 * fuzz_module.h - the control surface of fuzz_module.so, the plug-in module
 * the submission fuzzer loads (several copies, each its own instance).
 *
 * The fuzzer dlopen()s each copy before the service starts, so the service's
 * own dlopen() of the same file gets the same instance, and the instance (with
 * its statistics) outlives the service's unload. Everything here may be
 * called from any thread.
 */
#ifndef SELVAR_FUZZ_FUZZ_MODULE_H
#define SELVAR_FUZZ_FUZZ_MODULE_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct FuzzModuleSetup {
    uint32_t id;
    uint32_t masks[9];
    uint8_t hasReader;
    uint8_t acceptsEvents;
} FuzzModuleSetup;

/* What the module does with what it is given; changed between inputs. */
typedef struct FuzzModuleBehaviour {
    uint32_t keepLevel;        /* 0..4: keeps a delivery when (sum ^ salt) % 4 < keepLevel */
    uint32_t provideCount;     /* answers per Read under a request handle (0..3) */
    uint32_t releaseInDelivery; /* 1: each Write/IOCTL gives back the oldest kept payload */
    uint32_t echoBudget;       /* events this copy may submit from inside its deliveries */
} FuzzModuleBehaviour;

typedef struct FuzzModuleStats {
    uint64_t deliveries, keeps, releases, answers, refusedAnswers, echoes, reads;
} FuzzModuleStats;

/* Called once, before Load. */
typedef void (*FuzzModuleConfigureFn)(const FuzzModuleSetup *setup);
/* Each copy has its own behaviour; the fuzzer sets every copy's. */
typedef void (*FuzzModuleSetBehaviourFn)(const FuzzModuleBehaviour *behaviour);
/* Gives back kept payload number index (modulo the count), `times` times
 * (2: a double release). Returns 1 when something was kept. */
typedef int (*FuzzModuleReleaseFn)(uint32_t index, uint32_t times);
/* Gives back everything kept; returns how many. */
typedef size_t (*FuzzModuleReleaseAllFn)(void);
/* Calls check(ptr, size, ctx) for every kept payload while nothing can be
 * kept or released; returns the number of calls that returned 0. */
typedef size_t (*FuzzModuleCheckKeptFn)(int (*check)(void *ptr, uint32_t size, void *ctx), void *ctx);
/* A pointer this copy kept and has since given back (NULL when none). */
typedef void *(*FuzzModuleStaleFn)(void);
/* An address inside a kept payload other than its start (NULL when none). */
typedef void *(*FuzzModuleInteriorFn)(uint32_t index);
typedef void (*FuzzModuleStatsFn)(FuzzModuleStats *stats);
/* Read calls still running in this copy. */
typedef uint32_t (*FuzzModuleActiveReadsFn)(void);

#ifdef __cplusplus
}
#endif

#endif /* SELVAR_FUZZ_FUZZ_MODULE_H */
