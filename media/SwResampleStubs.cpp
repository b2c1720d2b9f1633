#include "media/SwResampleStubs.h"
KV_DEFINE_BINDING_UNIT(SwResample, KV_SWRESAMPLE_ENTRIES, (void)0)
