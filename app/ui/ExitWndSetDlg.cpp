#include "app/ui/ExitWndSetDlg.h"

#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>

#include "app/ui/MessageBox.h"

namespace lfui {

CExitWndSetDlg::CExitWndSetDlg(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("closeDialog"));
    setWindowTitle(tr("关闭"));
    UseWindowColours(this);
    setFixedSize(300, 170);
    auto* prompt = new QLabel(tr("您点击了关闭按钮，您是想："), this);
    prompt->setGeometry(16, 12, 270, 24);
    m_tray = new QRadioButton(tr("最小化到系统托盘，不退出程序"), this);
    m_tray->setObjectName(QStringLiteral("radio1035"));
    m_tray->setGeometry(30, 42, 260, 24);
    m_quit = new QRadioButton(tr("退出程序"), this);
    m_quit->setObjectName(QStringLiteral("radio1036"));
    m_quit->setGeometry(30, 68, 260, 24);
    m_remember = new QCheckBox(tr("记住我的选择"), this);
    m_remember->setObjectName(QStringLiteral("check1040"));
    m_remember->setGeometry(16, 128, 180, 24);
    auto* confirm = new QPushButton(tr("确定"), this);
    confirm->setObjectName(QStringLiteral("button1044"));
    confirm->setGeometry(204, 126, 80, 28);
    confirm->setDefault(true);
    m_tray->setChecked(true);
    connect(confirm, &QPushButton::clicked, this, &CExitWndSetDlg::OnConfirm);
}

void CExitWndSetDlg::showEvent(QShowEvent* event) {
    // Opening restores the dialog and selects the notification area.
    setWindowState(windowState() & ~Qt::WindowMinimized);
    m_tray->setChecked(true);
    QDialog::showEvent(event);
}

void CExitWndSetDlg::OnConfirm() {
    m_choice = m_tray->isChecked() ? 1 : 2;
    if (m_remember->isChecked()) emit closeChoiceRemembered(m_choice);
    accept();
}

}  // namespace lfui
