#include "app/ui/SettingsDlg.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QToolButton>

#include "app/ui/KvoLanternfishUIDlg.h"
#include "engine/core/EngineApi.h"

namespace lfui {

namespace {
const char kNoLimit[] = "无限制";
}

CSettingsDlg::CSettingsDlg(DownloadSettings& settings, QWidget* parent)
    : QDialog(parent), m_settings(settings) {
    setObjectName(QStringLiteral("settingsDialog"));
    setWindowTitle(QStringLiteral("下载设置"));
    setFixedSize(300, 184);

    auto* speed = new QGroupBox(QStringLiteral("速度设置"), this);
    speed->setObjectName(QStringLiteral("group1047"));
    speed->setGeometry(10, 8, 280, 62);
    m_limit = new QCheckBox(QStringLiteral("下载速度限制:"), speed);
    m_limit->setObjectName(QStringLiteral("check1015"));
    m_limit->setGeometry(12, 26, 120, 22);
    m_value = new QLineEdit(speed);
    m_value->setObjectName(QStringLiteral("edit1022"));
    m_value->setGeometry(134, 25, 80, 24);
    m_up = new QToolButton(speed);
    m_up->setObjectName(QStringLiteral("up1023"));
    m_up->setArrowType(Qt::UpArrow);
    m_up->setGeometry(214, 25, 16, 12);
    m_up->setAutoRepeat(true);
    m_down = new QToolButton(speed);
    m_down->setObjectName(QStringLiteral("down1023"));
    m_down->setArrowType(Qt::DownArrow);
    m_down->setGeometry(214, 37, 16, 12);
    m_down->setAutoRepeat(true);
    auto* unit = new QLabel(QStringLiteral("KB/s"), speed);
    unit->setObjectName(QStringLiteral("label1028"));
    unit->setGeometry(236, 25, 40, 24);

    auto* advanced = new QGroupBox(QStringLiteral("高级设置"), this);
    advanced->setObjectName(QStringLiteral("group1046"));
    advanced->setGeometry(10, 78, 280, 56);
    m_shutdown = new QCheckBox(QStringLiteral("下载完成后关机"), advanced);
    m_shutdown->setObjectName(QStringLiteral("check1040"));
    m_shutdown->setGeometry(12, 26, 200, 22);
    m_p2p = new QCheckBox(QStringLiteral("启用P2P"), advanced);
    m_p2p->setObjectName(QStringLiteral("check1041"));
    m_p2p->setGeometry(12, 50, 200, 22);
    m_p2p->hide();

    auto* apply = new QPushButton(QStringLiteral("设置"), this);
    apply->setObjectName(QStringLiteral("button1029"));
    apply->setGeometry(118, 144, 80, 28);
    apply->setDefault(true);
    auto* cancel = new QPushButton(QStringLiteral("取消"), this);
    cancel->setObjectName(QStringLiteral("button2"));
    cancel->setGeometry(208, 144, 80, 28);

    connect(m_limit, &QCheckBox::clicked, this, &CSettingsDlg::OnLimitToggled);
    connect(m_up, &QToolButton::clicked, this, &CSettingsDlg::StepUp);
    connect(m_down, &QToolButton::clicked, this, &CSettingsDlg::StepDown);
    connect(apply, &QPushButton::clicked, this, &CSettingsDlg::OnApply);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);

    // Opening: the remembered limit, the shutdown and P2P choices.
    SetPosition(kInitialPosition);
    if (m_settings.speedLimit != 0) {
        m_limit->setChecked(true);
        m_value->setEnabled(true);
        SetPosition(m_settings.speedLimit);
    } else {
        m_limit->setChecked(false);
        m_value->setText(QString::fromUtf8(kNoLimit));
        m_value->setEnabled(false);
    }
    m_up->setEnabled(m_value->isEnabled());
    m_down->setEnabled(m_value->isEnabled());
    m_shutdown->setChecked(m_settings.autoShutdown != 0);
    m_p2p->setChecked(m_settings.p2p != 0);
}

int CSettingsDlg::Position() const {
    bool ok = false;
    const int value = m_value->text().trimmed().toInt(&ok);
    return ok ? value : -1;
}

void CSettingsDlg::SetPosition(int value) {
    m_value->setText(QString::number(value));
}

void CSettingsDlg::Step(int delta) {
    int value = Position();
    if (value < 0) value = kInitialPosition;
    value = std::clamp(value + delta, kMinLimit, kMaxLimit);
    SetPosition(value);
}

void CSettingsDlg::StepUp() {
    Step(1);
}
void CSettingsDlg::StepDown() {
    Step(-1);
}

void CSettingsDlg::OnLimitToggled(bool checked) {
    if (checked) {
        m_value->setEnabled(true);
        SetPosition(kInitialPosition);
    } else {
        m_value->setText(QString::fromUtf8(kNoLimit));
        m_value->setEnabled(false);
    }
    m_up->setEnabled(checked);
    m_down->setEnabled(checked);
}

void CSettingsDlg::OnApply() {
    int limit = 0;
    if (m_limit->isChecked()) {
        const int value = Position();
        if (value > kMaxLimit || value < kMinLimit) {
            lf::ShowMessageAsync(this,
                             "您设置的速度不在允许范围内[10KB/s - 30000KB/s]，请重新设置限速！",
                             "警告", 0);
            return;
        }
        limit = value;
    } else {
        m_settings.speedLimit = 0;
    }
    emit speedLimitChosen(limit);
    m_settings.autoShutdown = m_shutdown->isChecked() ? 1 : 0;
    emit autoShutdownChosen();
    m_settings.p2p = m_p2p->isChecked() ? 1 : 0;
    emit p2pChosen();
    accept();
}

}  // namespace lfui
