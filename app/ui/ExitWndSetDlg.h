// The close dialog ("关闭"): hide in the notification area or quit, and
// optionally remember the answer.
#pragma once

#include <QDialog>

class QCheckBox;
class QRadioButton;

namespace lfui {

class CExitWndSetDlg : public QDialog {
    Q_OBJECT
public:
    explicit CExitWndSetDlg(QWidget* parent = nullptr);

    // 1 minimise to the notification area, 2 quit, 0 dismissed otherwise.
    int Choice() const { return m_choice; }

public slots:
    void OnConfirm();

signals:
    // Sent before the dialog closes when "记住我的选择" is checked.
    void closeChoiceRemembered(int choice);

protected:
    void showEvent(QShowEvent* event) override;

private:
    int m_choice = 0;
    QRadioButton* m_tray = nullptr;   // 1035
    QRadioButton* m_quit = nullptr;   // 1036
    QCheckBox* m_remember = nullptr;  // 1040
};

}  // namespace lfui
