// The main window: a borderless, skinned window that shows the download of
// the release files and steers it. It owns the controller (through
// IControllerPort), runs the 100 ms poll and the 1 s tick on its own thread,
// paints every text itself over the skin background and hands the user's
// presses to the controller.
#pragma once

#include <QPixmap>
#include <QPointer>
#include <QRegion>
#include <QString>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/DownloadStatus.h"
#include "app/ui/ControllerPort.h"
#include "app/ui/Skin.h"
#include "app/ui/WindowRules.h"

class QSystemTrayIcon;

namespace lfui {

class CPictureButton;
class CSkinListCtrl;

// Choices the settings dialog shows and changes; they live for the process.
struct DownloadSettings {
    int speedLimit = 0;    // KB/s, 0 = none
    int autoShutdown = 0;  // 0/1
    int p2p = 1;           // 0/1
};

// Places where the window reaches outside itself; tests replace them.
struct WindowHooks {
    // Folder browser: title, folder to start at; an empty result = cancelled.
    std::function<QString(const QString& title, const QString& start)> chooseFolder;
    // Shows a folder, or the folder of a file with the file selected.
    std::function<void(const QString& path, bool isFile)> showInFileManager;
    // Opens an address (retired release).
    std::function<void(const QString& url)> openUrl;
    // Modal message owned by the window (retired release).
    std::function<void(const QString& text, const QString& caption)> modalMessage;
    // The close dialog: returns 1, 2, or 0 when dismissed. Remembered choices
    // reach the window through OnCloseChoice before it returns.
    std::function<int()> runCloseDialog;
    // The settings dialog (modal).
    std::function<void()> runSettingsDialog;
};

class CKvoLanternfishUIDlg : public QWidget {
    Q_OBJECT
public:
    static constexpr int kWidth = 411;
    static constexpr int kCollapsedHeight = 307;
    static constexpr int kExpandedExtra = 78;
    static constexpr int kRows = 8;
    static constexpr int kPollMs = 100;
    static constexpr int kTickMs = 1000;

    explicit CKvoLanternfishUIDlg(std::unique_ptr<IControllerPort> controller,
                                  QWidget* parent = nullptr);
    ~CKvoLanternfishUIDlg() override;

    // Initialisation after the window is created: controller start-up and the
    // start decision, timers, save folder, title, icons and shape. False when
    // the window was destroyed (the program quits).
    bool Start();

    // Process-wide values of the settings dialog.
    static DownloadSettings& Settings();

    WindowHooks& Hooks() { return m_hooks; }
    IControllerPort& Controller() { return *m_controller; }

    // ---- state, for the application object and for tests ------------------
    CPictureButton* Button(int id) const;
    CSkinListCtrl* FileList() const { return m_list; }
    lfapp::DownloadStatus CachedStatus() const { return m_status; }
    bool CachedLowSpace() const { return m_lowSpace; }
    bool Collapsed() const { return m_collapsed; }
    bool InTray() const { return m_inTray; }
    bool Destroyed() const { return m_destroyed; }
    bool TimersRunning() const;
    QString DisplayedSaveFolder() const { return m_saveFolder; }
    // Exit status after Start() refused: 1 start-up failed, 2 release retired.
    int StartExitCode() const { return m_startExitCode; }
    // The texts the progress area shows now.
    QString SpeedAreaShown() const { return m_speed; }
    QString LabelShown() const { return m_label; }
    QString PercentShown() const { return m_percent; }
    QString FinalShown() const { return m_final; }
    QString SizeShown() const { return m_size; }
    QString PeersShown() const { return m_peers; }
    // The texts painted now, each with the room it has (the save folder,
    // elided on purpose, left out).
    struct PaintedText {
        const char* name;
        QString text;
        QRect room;
    };
    std::vector<PaintedText> PaintedTexts() const;
    QFont TextFont() const { return m_font; }
    bool FinalTextShown() const { return ShowsFinalText(m_status); }
    int DownloadBarPercent() const { return m_barDownload; }
    int VerifyBarPercent() const { return m_barVerify; }
    QRegion CollapsedRegion() const { return m_collapsedRegion; }
    // Text rectangles (left, top, right, bottom as the layout gives them).
    static QRect TextRect(int left, int top, int right, int bottom) {
        return QRect(left, top, right - left, bottom - top);
    }
    static QRect ToggleRect() { return TextRect(186, 278, 218, 307); }

public slots:
    // Button presses.
    void OnStart();
    void OnMainAction();
    void OnFolderButton();
    void OnSettings();
    void OnMinimise();
    void OnClose();
    // Notifications.
    void OnSpeedLimit(int kiloBytesPerSecond);
    void OnAutoShutdown();
    void OnP2PSwitch();
    void OnVerificationDone();
    void OnCloseChoice(int choice);
    // Cancel command (tray menu): quit when the user-exit flag is set, else
    // the close handling.
    void OnCancelCommand();
    // Timers.
    void OnPoll();
    void OnTick();
    // List toggle.
    void ToggleList();
    // Into the notification area (or minimised when there is none).
    void MinimiseToTray();
    // Back from the notification area (tray double-click).
    void RestoreFromTray();
    // Another copy was started: restore and come to the front.
    void BringToFront();
    // Hides the window, stops the timers, runs the controller's exit
    // handling once, and tells the application to quit.
    void DestroyWindow();

signals:
    void windowDestroyed();

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    CPictureButton* MakeButton(int id, int x, int y, int normal, int hover, int pressed,
                               int disabled);
    void ArrangeButtons();
    void RefreshTexts(bool tick);
    void RefreshList();
    void UpdateBars(bool force);
    void ShowMessage(const QString& text);
    void CloseHandling();
    void ActOnCloseChoice(int choice);
    void ApplyShape();
    void StopTimers();
    void PaintTexts(QPainter& painter);

    std::unique_ptr<IControllerPort> m_controller;
    WindowHooks m_hooks;
    CSkin m_skin;
    QFont m_font;
    std::map<int, CPictureButton*> m_buttons;
    CSkinListCtrl* m_list = nullptr;
    QTimer m_pollTimer;
    QTimer m_tickTimer;
    QSystemTrayIcon* m_tray = nullptr;

    lfapp::DownloadStatus m_status = lfapp::DownloadStatus::Ready;
    bool m_lowSpace = false;
    lfapp::DownloadStatus m_arrangedStatus = lfapp::DownloadStatus::Ready;
    bool m_arrangedLowSpace = false;
    bool m_collapsed = true;
    bool m_inTray = false;
    bool m_destroyed = false;
    bool m_started = false;
    int m_barDownload = -1;
    int m_barVerify = -1;
    lfapp::DownloadStatus m_barStatus = lfapp::DownloadStatus::Ready;
    uint32_t m_repairRepaints = 0;
    QRegion m_collapsedRegion;

    int m_startExitCode = 0;
    QString m_saveFolder, m_version, m_size, m_speed, m_label, m_percent, m_final, m_peers;
    bool m_speedAccent = false;

    QPoint m_dragOffset;
    bool m_dragging = false;
};

}  // namespace lfui
