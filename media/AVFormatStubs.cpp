#include "media/AVFormatStubs.h"
// Today's libraries register their formats themselves.
KV_DEFINE_BINDING_UNIT(AVFormat, KV_AVFORMAT_ENTRIES, (void)0)
