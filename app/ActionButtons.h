#pragma once
// Buttons of the windows' actions, with their pictures; a missing picture leaves
// the button with its text.
#include <QRect>
#include <QString>
#include <QToolButton>

class QAction;

namespace kv::app {

// A tool button that runs `action`, with the picture beside the text.
QToolButton* ActionButton(QAction* action, const QString& picture, QRect geometry, int iconSize, QWidget* parent);
// A flat button: a tool button without a frame until the mouse is over it; the
// picture alone when there is one.
QToolButton* FlatButton(QAction* action, const QString& picture, QRect geometry, int iconSize, QWidget* parent);

}  // namespace kv::app
