/*
 * no_load_module.c - a shared object that exports Open and Close but no Load.
 *
 * The service must pass it over: it is never a module, so neither entry may
 * ever be called. It is test_module.c with two entry points, so it logs INIT
 * and FINI (mapped, unmapped) and OPEN/CLOSE should anything call them.
 */
#define TM_ENTRIES (TM_BIT_OPEN | TM_BIT_CLOSE)
#include "test_module.c"
