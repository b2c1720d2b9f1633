#include "media/AVFilterStubs.h"
// Today's libraries register their filters themselves.
KV_DEFINE_BINDING_UNIT(AVFilter, KV_AVFILTER_ENTRIES, (void)0)
