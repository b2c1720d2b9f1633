#pragma once
// The profile box's list: the profiles in catalogue order under a heading for each
// category (Video, Audio, ...). The headings are drawn above the first profile of
// each run of one category, so that the box's item index stays the profile's index.
#include <QString>
#include <QStyledItemDelegate>

class QComboBox;

namespace kv::app {

// Item data role of the profile's category.
inline constexpr int CategoryRole = Qt::UserRole + 1;

// "Video" for category 1, "Audio" for 0, "Other" for the rest.
QString CategoryName(int category);
// The heading drawn above item `row` of the box, or empty when it has none (it
// continues the category of the item above it).
QString HeadingAbove(const QComboBox& box, int row);

class TProfileHeadings : public QStyledItemDelegate {
public:
    explicit TProfileHeadings(QComboBox* box);
    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;

private:
    int HeadingHeight(const QStyleOptionViewItem& option) const;
    QComboBox* FBox;
};

}  // namespace kv::app
