#include "core/payload_alloc.h"

#include <cstdlib>

PayloadAllocator g_payloadAllocator = &malloc;
