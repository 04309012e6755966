// The settings dialog ("下载设置"): the download speed limit and whether the
// computer shuts down after the download. Its results go to the main window
// as three notifications.
#pragma once

#include <QDialog>

class QCheckBox;
class QLineEdit;
class QToolButton;

namespace lfui {

struct DownloadSettings;

class CSettingsDlg : public QDialog {
    Q_OBJECT
public:
    static constexpr int kMinLimit = 10;
    static constexpr int kMaxLimit = 30000;
    static constexpr int kInitialPosition = 200;

    CSettingsDlg(DownloadSettings& settings, QWidget* parent = nullptr);

    // Position of the up-down control: the edit's number, or -1 when the
    // text does not read as one (which is out of range).
    int Position() const;
    void SetPosition(int value);

public slots:
    void OnLimitToggled(bool checked);
    void OnApply();
    void StepUp();
    void StepDown();

signals:
    void speedLimitChosen(int kiloBytesPerSecond);
    void autoShutdownChosen();
    void p2pChosen();

private:
    void Step(int delta);

    DownloadSettings& m_settings;
    QCheckBox* m_limit = nullptr;     // 1015
    QLineEdit* m_value = nullptr;     // 1022
    QToolButton* m_up = nullptr;      // 1023
    QToolButton* m_down = nullptr;    // 1023
    QCheckBox* m_shutdown = nullptr;  // 1040
    QCheckBox* m_p2p = nullptr;       // 1041, hidden
};

}  // namespace lfui
