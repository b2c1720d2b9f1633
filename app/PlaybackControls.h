#pragma once
// Pieces the two players' controls share: a slider whose track jumps to a click,
// the time readouts, the Play/Pause look of the play button.
#include <QAbstractButton>
#include <QProxyStyle>
#include <QSlider>
#include <QString>

#include <cstdint>

namespace kv::app {

// A left click on the track moves the thumb there at once (and starts a drag),
// instead of paging towards the click.
class TJumpSliderStyle : public QProxyStyle {
public:
    using QProxyStyle::QProxyStyle;
    int styleHint(StyleHint hint, const QStyleOption* option = nullptr, const QWidget* widget = nullptr,
                  QStyleHintReturn* data = nullptr) const override
    {
        if (hint == QStyle::SH_Slider_AbsoluteSetButtons) return Qt::LeftButton;
        return QProxyStyle::styleHint(hint, option, widget, data);
    }
};

// Gives `slider` a style of its own that jumps to a click; the slider owns it.
void MakeTrackJumpToClick(QSlider* slider);

// "hh:mm:ss.mmm" of a count of milliseconds (negative counts as 0).
QString MillisecondsText(std::int64_t ms);
// Milliseconds of "hh:mm:ss.mmm" (the milliseconds, the seconds or the minutes may
// be left out from the right); -1 when the text is no time.
std::int64_t ParseMillisecondsText(const QString& text);

// The play button of a player: Play, or Pause while playing (icon and tool tip).
void ShowPlayOrPause(QAbstractButton* button, bool playing, const QString& playPicture, const QString& pausePicture);

}  // namespace kv::app
