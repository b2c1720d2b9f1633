#include "app/PlaybackControls.h"

#include <QRegularExpression>

#include <algorithm>

#include "app/Pictures.h"

namespace kv::app {

void MakeTrackJumpToClick(QSlider* slider)
{
    auto* style = new TJumpSliderStyle(slider->style()->name());
    style->setParent(slider);
    slider->setStyle(style);
}

QString MillisecondsText(std::int64_t ms)
{
    ms = std::max<std::int64_t>(ms, 0);
    const std::int64_t s = ms / 1000;
    return QString::asprintf("%.2d:%.2d:%.2d.%.3d", static_cast<int>(s / 3600), static_cast<int>(s % 3600 / 60),
                             static_cast<int>(s % 60), static_cast<int>(ms % 1000));
}

std::int64_t ParseMillisecondsText(const QString& text)
{
    // The edit mask leaves blanks for positions not typed.
    static const QRegularExpression time(R"(^\s*(\d{1,2})\s*:\s*(\d{0,2})\s*:\s*(\d{0,2})\s*(?:\.\s*(\d{0,3})\s*)?$)");
    const QRegularExpressionMatch m = time.match(text);
    if (!m.hasMatch()) return -1;
    const int minutes = m.captured(2).isEmpty() ? 0 : m.captured(2).toInt();
    const int seconds = m.captured(3).isEmpty() ? 0 : m.captured(3).toInt();
    if (minutes > 59 || seconds > 59) return -1;
    // "5" after the point is 500 ms, as it reads.
    const QString fraction = (m.captured(4) + "000").left(3);
    return ((m.captured(1).toInt() * 60LL + minutes) * 60 + seconds) * 1000 + fraction.toInt();
}

void ShowPlayOrPause(QAbstractButton* button, bool playing, const QString& playPicture, const QString& pausePicture)
{
    const QString name = playing ? "Pause" : "Play";
    const QIcon icon = PictureIcon(playing ? pausePicture : playPicture);
    if (!icon.isNull()) button->setIcon(icon);
    button->setText(name);
    button->setToolTip(name + " (Space)");
}

}  // namespace kv::app
