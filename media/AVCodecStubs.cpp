#include "media/AVCodecStubs.h"
// Today's libraries register their codecs themselves.
KV_DEFINE_BINDING_UNIT(AVCodec, KV_AVCODEC_ENTRIES, (void)0)
