#include "app/ProfileBox.h"

#include <QComboBox>
#include <QPainter>

namespace kv::app {

QString CategoryName(int category)
{
    switch (category) {
    case 1:
        return "Video";
    case 0:
        return "Audio";
    default:
        return "Other";
    }
}

QList<int> GroupedProfileOrder(const QList<int>& categories)
{
    QList<int> order;
    QList<int> seen;
    for (int category : categories) {
        if (seen.contains(category)) continue;
        seen << category;
        for (int i = 0; i < categories.size(); ++i)
            if (categories[i] == category) order << i;
    }
    return order;
}

int ProfileAtRow(const QComboBox& box, int row)
{
    const QVariant profile = box.itemData(row, ProfileRole);
    return profile.isValid() ? profile.toInt() : -1;
}

int RowOfProfile(const QComboBox& box, int profile)
{
    return profile < 0 ? -1 : box.findData(profile, ProfileRole);
}

QString HeadingAbove(const QComboBox& box, int row)
{
    if (row < 0 || row >= box.count()) return {};
    const QVariant category = box.itemData(row, CategoryRole);
    if (!category.isValid()) return {};
    if (row > 0 && box.itemData(row - 1, CategoryRole) == category) return {};
    return CategoryName(category.toInt());
}

TProfileHeadings::TProfileHeadings(QComboBox* box) : QStyledItemDelegate(box), FBox(box) {}

int TProfileHeadings::HeadingHeight(const QStyleOptionViewItem& option) const
{
    return option.fontMetrics.height() + 8;
}

void TProfileHeadings::paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const
{
    const QString heading = HeadingAbove(*FBox, index.row());
    if (heading.isEmpty()) {
        QStyledItemDelegate::paint(painter, option, index);
        return;
    }
    const int height = HeadingHeight(option);
    QRect top = option.rect;
    top.setHeight(height);
    painter->save();
    painter->fillRect(top, option.palette.window());
    QFont bold = option.font;
    bold.setBold(true);
    painter->setFont(bold);
    painter->setPen(option.palette.color(QPalette::Disabled, QPalette::WindowText));
    painter->drawText(top.adjusted(6, 0, -6, 0), Qt::AlignVCenter | Qt::AlignLeft, heading);
    painter->restore();
    QStyleOptionViewItem item(option);
    item.rect.setTop(option.rect.top() + height);
    QStyledItemDelegate::paint(painter, item, index);
}

QSize TProfileHeadings::sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const
{
    QSize size = QStyledItemDelegate::sizeHint(option, index);
    if (!HeadingAbove(*FBox, index.row()).isEmpty()) size.rheight() += HeadingHeight(option);
    return size;
}

}  // namespace kv::app
