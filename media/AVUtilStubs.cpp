#include "media/AVUtilStubs.h"
KV_DEFINE_BINDING_UNIT(AVUtil, KV_AVUTIL_ENTRIES, (void)0)
