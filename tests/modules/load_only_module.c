/*
 * load_only_module.c - a module that exports Load and nothing else.
 *
 * It is test_module.c with one entry point: same configuration file (id,
 * masks, flags, loadReturn, submit.load, ...) and the same log lines, so
 * tests can see that the service accepts a module without the other entries.
 */
#define TM_ENTRIES TM_BIT_LOAD
#include "test_module.c"
