#include "media/AVDeviceStubs.h"
// Devices are still registered explicitly, so that they show up as formats.
KV_DEFINE_BINDING_UNIT(AVDevice, KV_AVDEVICE_ENTRIES, av::avdevice_register_all())
