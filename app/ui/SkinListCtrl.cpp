#include "app/ui/SkinListCtrl.h"

#include <QHeaderView>
#include <QPainter>
#include <QScrollBar>
#include <QStyledItemDelegate>

#include "app/ui/Skin.h"

namespace lfui {

namespace {

class RowDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override {
        const bool selected = option.state & QStyle::State_Selected;
        painter->save();
        painter->fillRect(option.rect, CSkinListCtrl::RowColour(index.row(), selected));
        if (selected) {
            painter->setPen(kListSelectedLine);
            painter->drawLine(option.rect.bottomLeft(), option.rect.bottomRight());
        }
        painter->setFont(option.font);
        painter->setPen(kListText);
        const QRect textRect = option.rect.adjusted(10, 0, index.column() == 1 ? -6 : -2, 0);
        const Qt::Alignment align =
            Qt::AlignVCenter | (index.column() == 1 ? Qt::AlignRight : Qt::AlignLeft);
        const QString text = painter->fontMetrics().elidedText(
            index.data(Qt::DisplayRole).toString(), Qt::ElideRight, textRect.width());
        painter->drawText(textRect, align, text);
        painter->restore();
    }
};

}  // namespace

CSkinListCtrl::CSkinListCtrl(int rows, QWidget* parent) : QTableWidget(rows, 2, parent) {
    setObjectName(QStringLiteral("fileList"));
    horizontalHeader()->hide();
    verticalHeader()->hide();
    verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    verticalHeader()->setDefaultSectionSize(17);
    verticalHeader()->setMinimumSectionSize(17);
    setColumnWidth(0, 280);
    setColumnWidth(1, 128);
    setShowGrid(false);
    setFrameShape(QFrame::NoFrame);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setFocusPolicy(Qt::NoFocus);
    setWordWrap(false);
    setItemDelegate(new RowDelegate(this));
    setFont(CSkin::TextFont());
    for (int r = 0; r < rows; ++r) setRowHeight(r, 17);
    // White list background, dark-red scroll bar.
    setStyleSheet(QStringLiteral(
        "QTableWidget { background: white; border: none; }"
        "QScrollBar:vertical { background: rgb(38,8,8); width: 10px; margin: 0; }"
        "QScrollBar::handle:vertical { background: rgb(150,52,30); min-height: 14px;"
        " border-radius: 4px; margin: 1px; }"
        "QScrollBar::handle:vertical:hover { background: rgb(200,90,44); }"
        "QScrollBar::add-line:vertical, QScrollBar::sub-line:vertical { height: 0; }"
        "QScrollBar::add-page:vertical, QScrollBar::sub-page:vertical { background: none; }"));
}

QColor CSkinListCtrl::RowColour(int row, bool selected) {
    if (selected) return kListSelected;
    return row % 2 == 0 ? kListEven : kListOdd;
}

void CSkinListCtrl::SetRow(int row, const QString& name, const QString& status) {
    auto* nameItem = new QTableWidgetItem(name);
    nameItem->setToolTip(name);
    setItem(row, 0, nameItem);
    SetStatus(row, status);
}

void CSkinListCtrl::SetStatus(int row, const QString& status) {
    QTableWidgetItem* current = item(row, 1);
    if (current == nullptr) {
        setItem(row, 1, new QTableWidgetItem(status));
    } else if (current->text() != status) {
        current->setText(status);
    }
}

QString CSkinListCtrl::Name(int row) const {
    const QTableWidgetItem* it = item(row, 0);
    return it ? it->text() : QString();
}

QString CSkinListCtrl::Status(int row) const {
    const QTableWidgetItem* it = item(row, 1);
    return it ? it->text() : QString();
}

}  // namespace lfui
