#pragma once
// A small animated GIF encoder: Qt reads GIF but cannot write it. All frames share
// one palette of at most 256 colours (median cut over every frame) and the
// animation loops forever.
#include <QImage>
#include <QString>

#include <vector>

namespace kv::tools {

// Writes `frames` (all of the first frame's size, opaque) shown `delayCs` hundredths
// of a second each. False with the reason in `error` when nothing was written.
bool WriteAnimatedGif(const QString& path, const std::vector<QImage>& frames, int delayCs, QString* error = nullptr);

}  // namespace kv::tools
