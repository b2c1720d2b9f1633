#include "media/SwScaleStubs.h"
KV_DEFINE_BINDING_UNIT(SwScale, KV_SWSCALE_ENTRIES, (void)0)
