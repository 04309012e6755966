// The file list: report style without a header, one row per release file;
// column 0 (280 px, left) the file name, column 1 (128 px, right) the status
// text. Rows 17 px high on alternating dark rows, selected rows dark red
// with a gold line at the bottom; a skinned vertical scroll bar.
#pragma once

#include <QTableWidget>

namespace lfui {

// Row colours.
inline const QColor kListText(248, 222, 199);
inline const QColor kListSelected(79, 17, 16);
inline const QColor kListSelectedLine(153, 144, 93);
inline const QColor kListEven(59, 47, 47);
inline const QColor kListOdd(73, 59, 59);

class CSkinListCtrl : public QTableWidget {
    Q_OBJECT
public:
    CSkinListCtrl(int rows, QWidget* parent);
    void SetRow(int row, const QString& name, const QString& status);
    void SetStatus(int row, const QString& status);
    QString Name(int row) const;
    QString Status(int row) const;
    // The background a row is painted with.
    static QColor RowColour(int row, bool selected);
};

}  // namespace lfui
