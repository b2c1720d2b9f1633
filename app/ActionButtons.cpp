#include "app/ActionButtons.h"

#include <QAction>

#include "app/Pictures.h"

namespace kv::app {

QToolButton* ActionButton(QAction* action, const QString& picture, QRect geometry, int iconSize, QWidget* parent)
{
    auto* button = new QToolButton(parent);
    button->setDefaultAction(action);
    button->setGeometry(geometry);
    button->setIconSize(QSize(iconSize, iconSize));
    const QIcon icon = PictureIcon(picture);
    if (!icon.isNull()) action->setIcon(icon);
    button->setToolButtonStyle(icon.isNull() ? Qt::ToolButtonTextOnly : Qt::ToolButtonTextBesideIcon);
    return button;
}

// A flat button: a tool button without a frame until the mouse is over it.
QToolButton* FlatButton(QAction* action, const QString& picture, QRect geometry, int iconSize, QWidget* parent)
{
    QToolButton* button = ActionButton(action, picture, geometry, iconSize, parent);
    button->setAutoRaise(true);
    if (!action->icon().isNull()) button->setToolButtonStyle(Qt::ToolButtonIconOnly);
    return button;
}

}  // namespace kv::app
