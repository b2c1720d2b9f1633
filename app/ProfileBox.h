#pragma once
// The profile box's list: the profiles grouped by category (Video, Audio, ...), in
// the order the catalogue first names each category and in catalogue order within
// one, with a heading drawn above the first profile of each group. The box's rows are
// not the profiles' indexes: each row carries its profile's index, and every caller
// goes through ProfileAtRow and RowOfProfile.
#include <QList>
#include <QString>
#include <QStyledItemDelegate>

class QComboBox;

namespace kv::app {

// Item data role of the profile's category.
inline constexpr int CategoryRole = Qt::UserRole + 1;
// Item data role of the profile's index in the catalogue.
inline constexpr int ProfileRole = Qt::UserRole + 2;

// The profile indexes in the box's order, from each profile's category.
QList<int> GroupedProfileOrder(const QList<int>& categories);
// The profile index of row `row`, -1 for none.
int ProfileAtRow(const QComboBox& box, int row);
// The row of profile `profile`, -1 when the box lacks it.
int RowOfProfile(const QComboBox& box, int profile);

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
