#include "app/ui/KvoLanternfishUIDlg.h"

#include <QApplication>
#include <QCloseEvent>
#include <QCursor>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QKeyEvent>
#include <QMenu>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QProcess>
#include <QScrollBar>
#include <QSystemTrayIcon>
#include <QUrl>
#include <QWindow>
#include <cstdio>
#include <memory>

#include "app/Translation.h"
#include "app/ui/ExitWndSetDlg.h"
#include "app/ui/MessageBox.h"
#include "app/ui/PictureButton.h"
#include "app/ui/SettingsDlg.h"
#include "app/ui/SkinListCtrl.h"
#include "engine/core/EngineApi.h"

namespace lfui {

using lfapp::DownloadStatus;

namespace {

const char kCaption[] = QT_TRANSLATE_NOOP("Message", "Moonvale下载器");

// Text colours.
const QColor kVersionColour(231, 159, 83);
const QColor kLabelColour(235, 157, 85);
const QColor kValueColour(248, 222, 197);

// Layout.
const QRect kVersionRect = CKvoLanternfishUIDlg::TextRect(9, 205, 130, 230);
const QRect kSaveLabelRect = CKvoLanternfishUIDlg::TextRect(190, 205, 250, 230);
const QRect kSaveFolderRect = CKvoLanternfishUIDlg::TextRect(255, 205, 367, 230);
const QRect kBarRect = CKvoLanternfishUIDlg::TextRect(11, 244, 297, 256);
const QRect kSizeRect = CKvoLanternfishUIDlg::TextRect(9, 260, 124, 280);
const QRect kSpeedRect = CKvoLanternfishUIDlg::TextRect(129, 260, 204, 280);
const QRect kLabelRect = CKvoLanternfishUIDlg::TextRect(209, 260, 259, 280);
const QRect kPercentRect = CKvoLanternfishUIDlg::TextRect(262, 260, 312, 280);
const QRect kFinalRect = CKvoLanternfishUIDlg::TextRect(129, 260, 312, 280);
// The peers figure sits on the foot of the banner, at its right.
const QRect kPeersRect = CKvoLanternfishUIDlg::TextRect(230, 176, 400, 195);
// The list sits below the toggle; its height is what fits in the expanded
// window so that its last row and the scroll bar stay reachable.
const int kListTop = 322;
const int kListWidth = 408;
const int kHiddenListTop = 342;

QString Q(const std::string& text) {
    return QString::fromStdString(text);
}

void ApplyChange(QWidget* widget, const ButtonChange& change) {
    if (change.visible) widget->setVisible(*change.visible);
    if (change.enabled) widget->setEnabled(*change.enabled);
}

}  // namespace

DownloadSettings& CKvoLanternfishUIDlg::Settings() {
    static DownloadSettings settings;
    return settings;
}

CKvoLanternfishUIDlg::CKvoLanternfishUIDlg(std::unique_ptr<IControllerPort> controller,
                                           QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::FramelessWindowHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowSystemMenuHint),
      m_controller(std::move(controller)) {
    setObjectName(QStringLiteral("mainWindow"));
    m_controller->AttachWindow(this);
    setWindowTitle(Q(lfapp::translate("Message", kCaption)));
    setAttribute(Qt::WA_OpaquePaintEvent);
    setFixedSize(kWidth, kCollapsedHeight);
    m_font = CSkin::TextFont();
    setFont(m_font);

    // Default hooks: the platform's facilities.
    m_hooks.chooseFolder = [this](const QString& title, const QString& start) {
        return QFileDialog::getExistingDirectory(this, title, start, QFileDialog::ShowDirsOnly);
    };
    m_hooks.showInFileManager = [](const QString& path, bool isFile) {
        const QString folder = isFile ? QFileInfo(path).absolutePath() : path;
        QProcess::startDetached(QStringLiteral("xdg-open"), {folder});
    };
    m_hooks.openUrl = [](const QString& url) { QDesktopServices::openUrl(QUrl(url)); };
    m_hooks.modalMessage = [this](const QString& text, const QString& caption) {
        std::unique_ptr<QMessageBox> box(
            NewMessageBox(this, text.toStdString(), caption.toStdString()));
        box->exec();
    };
    m_hooks.runCloseDialog = [this]() {
        CExitWndSetDlg dialog(this);
        connect(&dialog, &CExitWndSetDlg::closeChoiceRemembered, this,
                &CKvoLanternfishUIDlg::OnCloseChoice, Qt::DirectConnection);
        dialog.exec();
        return dialog.Choice();
    };
    m_hooks.runSettingsDialog = [this]() {
        CSettingsDlg dialog(Settings(), this);
        // Posted notifications: they arrive after the dialog has closed.
        connect(&dialog, &CSettingsDlg::speedLimitChosen, this, &CKvoLanternfishUIDlg::OnSpeedLimit,
                Qt::QueuedConnection);
        connect(&dialog, &CSettingsDlg::autoShutdownChosen, this,
                &CKvoLanternfishUIDlg::OnAutoShutdown, Qt::QueuedConnection);
        connect(&dialog, &CSettingsDlg::p2pChosen, this, &CKvoLanternfishUIDlg::OnP2PSwitch,
                Qt::QueuedConnection);
        dialog.exec();
    };

    // Picture buttons; the four main buttons and the view button start hidden.
    MakeButton(kSettingsButton, 318, 10, 228, 229, 230, 0);
    MakeButton(kMinimiseButton, 346, 10, 218, 219, 220, 0);
    MakeButton(kCloseButton, 374, 10, 222, 223, 224, 0);
    MakeButton(kModifyButton, 372, 203, 214, 215, 216, 235);
    MakeButton(kViewButton, 372, 203, 214, 215, 216, 235)->hide();
    MakeButton(kStartButton, 318, 244, 198, 199, 200, 201)->hide();
    MakeButton(kPauseButton, 318, 244, 202, 203, 204, 205)->hide();
    MakeButton(kContinueButton, 318, 244, 210, 211, 212, 213)->hide();
    MakeButton(kInstallButton, 318, 244, 231, 232, 233, 234)->hide();
    for (int id : {kStartButton, kPauseButton, kContinueButton, kInstallButton}) {
        m_buttons[id]->ShapeFromKeyColour();
    }
    m_buttons[kModifyButton]->setToolTip(tr("修改保存位置"));
    m_buttons[kViewButton]->setToolTip(tr("打开下载位置"));
    m_buttons[kSettingsButton]->setToolTip(tr("下载设置"));
    m_buttons[kMinimiseButton]->setToolTip(tr("最小化"));
    m_buttons[kCloseButton]->setToolTip(tr("关闭"));

    connect(m_buttons[kStartButton], &QAbstractButton::clicked, this,
            &CKvoLanternfishUIDlg::OnStart);
    for (int id : {kPauseButton, kContinueButton, kInstallButton}) {
        connect(m_buttons[id], &QAbstractButton::clicked, this,
                &CKvoLanternfishUIDlg::OnMainAction);
    }
    for (int id : {kModifyButton, kViewButton}) {
        connect(m_buttons[id], &QAbstractButton::clicked, this,
                &CKvoLanternfishUIDlg::OnFolderButton);
    }
    connect(m_buttons[kSettingsButton], &QAbstractButton::clicked, this,
            &CKvoLanternfishUIDlg::OnSettings);
    connect(m_buttons[kMinimiseButton], &QAbstractButton::clicked, this,
            &CKvoLanternfishUIDlg::OnMinimise);
    connect(m_buttons[kCloseButton], &QAbstractButton::clicked, this,
            &CKvoLanternfishUIDlg::OnClose);

    // The file list: names and status texts, parked out of sight.
    m_list = new CSkinListCtrl(kRows, this);
    for (int i = 0; i < kRows; ++i) {
        m_list->SetRow(i, Q(m_controller->FileName(i)), Q(m_controller->FileStatusText(i)));
    }
    m_list->setGeometry(0, kHiddenListTop, kListWidth, kExpandedExtra);
    m_list->verticalScrollBar()->hide();
    m_list->hide();

    m_pollTimer.setTimerType(Qt::PreciseTimer);
    m_pollTimer.setInterval(kPollMs);
    m_tickTimer.setTimerType(Qt::PreciseTimer);
    m_tickTimer.setInterval(kTickMs);
    connect(&m_pollTimer, &QTimer::timeout, this, &CKvoLanternfishUIDlg::OnPoll);
    connect(&m_tickTimer, &QTimer::timeout, this, &CKvoLanternfishUIDlg::OnTick);

    const QImage collapsed = m_skin.Background(false).toImage();
    m_collapsedRegion = CSkin::KeyRegion(collapsed, 283, 308) & QRegion(rect());
}

CKvoLanternfishUIDlg::~CKvoLanternfishUIDlg() {
    StopTimers();
}

CPictureButton* CKvoLanternfishUIDlg::MakeButton(int id, int x, int y, int normal, int hover,
                                                 int pressed, int disabled) {
    auto* button = new CPictureButton(id, this);
    button->SetImages(m_skin.Image(normal), m_skin.Image(hover), m_skin.Image(pressed),
                      disabled != 0 ? m_skin.Image(disabled) : QPixmap());
    button->move(x, y);
    m_buttons[id] = button;
    return button;
}

CPictureButton* CKvoLanternfishUIDlg::Button(int id) const {
    auto it = m_buttons.find(id);
    return it == m_buttons.end() ? nullptr : it->second;
}

bool CKvoLanternfishUIDlg::TimersRunning() const {
    return m_pollTimer.isActive() && m_tickTimer.isActive();
}

bool CKvoLanternfishUIDlg::Start() {
    m_version = Q(m_controller->VersionLabel());
    const int result = m_controller->Initialise();
    if (result < 0) {
        // Never a silent end: say what failed, on stderr and in a box.
        const std::string failure = m_controller->StartFailure();
        const QString text = failure.empty() ? QStringLiteral("下载启动失败请重试") : Q(failure);
        std::fprintf(stderr, "lanternfish: %s\n", text.toUtf8().constData());
        m_hooks.modalMessage(text, QString::fromUtf8(kCaption));
        m_controller->MarkProgramExit("启动失败");
        m_startExitCode = 1;
        DestroyWindow();
        return false;
    }
    if (result == 0) {
        const lfapp::ExpiryInfo expiry = m_controller->CheckExpiry();
        if (expiry.retired) {
            m_hooks.modalMessage(Q(expiry.message), Q(lfapp::translate("Message", kCaption)));
            if (!expiry.url.empty()) m_hooks.openUrl(Q(expiry.url));
            m_controller->MarkProgramExit("发布包已停用");
            m_startExitCode = 2;
            DestroyWindow();
            return false;
        }
        m_buttons[kStartButton]->show();
    } else {
        m_buttons[kPauseButton]->show();
    }
    m_pollTimer.start();
    m_tickTimer.start();
    m_started = true;

    m_saveFolder = Q(m_controller->SaveFolder());
    setWindowTitle(Q(lfapp::translate("Message", kCaption)));
    setWindowIcon(QIcon(m_skin.Image(kIconImage)));
    ApplyShape();
    RefreshTexts(false);
    UpdateBars(true);
    return true;
}

// ---- timers --------------------------------------------------------------------

void CKvoLanternfishUIDlg::OnPoll() {
    if (m_destroyed) return;
    m_status = m_controller->Poll();
    UpdateBars(false);
    m_lowSpace = m_controller->LowSpace();
    if (m_status != m_arrangedStatus || m_lowSpace != m_arrangedLowSpace) ArrangeButtons();
}

void CKvoLanternfishUIDlg::OnTick() {
    if (m_destroyed) return;
    update(kFinalRect);
    if (m_status != DownloadStatus::Finished && m_status != DownloadStatus::CheckFinished) {
        m_controller->Tick();
        RefreshTexts(true);
    } else {
        m_final = Q(FinalText(m_status, m_controller->Repaired()));
    }
    RefreshList();
}

void CKvoLanternfishUIDlg::RefreshTexts(bool tick) {
    const std::string speed = m_controller->SpeedText();
    const uint32_t repair = m_controller->RepairProgress();
    const std::string repairSpeed = m_status == DownloadStatus::CheckRecover && repair != 0
                                        ? m_controller->RepairSpeedText()
                                        : std::string();
    const SpeedArea area = SpeedAreaText(m_status, speed, repair, repairSpeed, m_repairRepaints);
    if (tick && m_status == DownloadStatus::CheckRecover && repair != 0) ++m_repairRepaints;
    m_speed = Q(area.text);
    m_speedAccent = area.accent;
    m_label = Q(ProgressLabel(m_status));
    m_percent = Q(ProgressPercent(m_status, m_controller->OverallProgress(),
                                  m_controller->VerifyProgress(), repair));
    m_final = Q(FinalText(m_status, m_controller->Repaired()));
    m_size = Q(m_controller->SizeText());
    m_peers = Q(m_controller->PeerText());
    update(kSizeRect);
    update(kPeersRect);
    update(kFinalRect);
}

void CKvoLanternfishUIDlg::RefreshList() {
    for (int i = 0; i < kRows; ++i) m_list->SetStatus(i, Q(m_controller->FileStatusText(i)));
}

void CKvoLanternfishUIDlg::UpdateBars(bool force) {
    const int download = BarPercent(m_controller->OverallProgress());
    const int verify = ShowsVerifyBar(m_status) ? BarPercent(m_controller->VerifyProgress()) : 0;
    if (force || download != m_barDownload || verify != m_barVerify || m_status != m_barStatus) {
        m_barDownload = download;
        m_barVerify = verify;
        m_barStatus = m_status;
        update(kBarRect);
    }
}

void CKvoLanternfishUIDlg::ArrangeButtons() {
    m_arrangedStatus = m_status;
    m_arrangedLowSpace = m_lowSpace;
    const ButtonPlan plan = lfui::ArrangeButtons(m_status, m_lowSpace);
    ApplyChange(m_buttons[kStartButton], plan.start);
    ApplyChange(m_buttons[kPauseButton], plan.pause);
    ApplyChange(m_buttons[kContinueButton], plan.resume);
    ApplyChange(m_buttons[kInstallButton], plan.install);
    ApplyChange(m_buttons[kModifyButton], plan.modify);
    ApplyChange(m_buttons[kViewButton], plan.view);
}

void CKvoLanternfishUIDlg::StopTimers() {
    m_pollTimer.stop();
    m_tickTimer.stop();
}

// ---- buttons -------------------------------------------------------------------

void CKvoLanternfishUIDlg::OnStart() {
    m_controller->MainAction();
    const DownloadStatus after = m_controller->Status();
    // A refused start (no space, an unwritable save folder) keeps Start.
    const bool refused = after == DownloadStatus::Ready || after == DownloadStatus::Back;
    if (!m_controller->LowSpace() && !refused) {
        m_buttons[kPauseButton]->show();
        m_buttons[kStartButton]->hide();
    }
}

void CKvoLanternfishUIDlg::OnMainAction() {
    m_controller->MainAction();
}

void CKvoLanternfishUIDlg::ShowMessage(const QString& text) {
    lf::ShowMessageAsync(this, text.toStdString().c_str(), kCaption, 0);
}

void CKvoLanternfishUIDlg::OnFolderButton() {
    switch (FolderActionFor(m_status)) {
        case FolderAction::Choose: {
            const QString start = Q(BrowseStartFolder(m_saveFolder.toStdString()));
            const QString chosen = m_hooks.chooseFolder(tr("请选择安装包存放目录:"), start);
            if (chosen.isEmpty()) return;
            m_status = DownloadStatus::Ready;
            m_saveFolder = Q(SaveFolderForChoice(QDir::fromNativeSeparators(chosen).toStdString()));
            update(kSaveFolderRect);
            m_controller->SetSaveFolder(m_saveFolder.toStdString());
            return;
        }
        case FolderAction::ShowInstaller: {
            const QString installer = Q(m_controller->InstallerPath());
            if (!m_saveFolder.isEmpty() && QFileInfo(m_saveFolder).isDir()) {
                if (!installer.isEmpty() && QFileInfo(installer).isFile()) {
                    m_hooks.showInFileManager(installer, true);
                } else {
                    m_hooks.showInFileManager(m_saveFolder, false);
                }
                return;
            }
            ShowMessage(QString::fromUtf8(QT_TRANSLATE_NOOP("Message", "下载位置不存在")));
            return;
        }
        case FolderAction::ShowFolder:
            if (!m_saveFolder.isEmpty() && QFileInfo(m_saveFolder).isDir()) {
                m_hooks.showInFileManager(m_saveFolder, false);
            } else {
                ShowMessage(QString::fromUtf8(QT_TRANSLATE_NOOP("Message", "下载位置不存在")));
            }
            return;
    }
}

void CKvoLanternfishUIDlg::OnSettings() {
    m_hooks.runSettingsDialog();
}

void CKvoLanternfishUIDlg::OnMinimise() {
    showMinimized();
}

void CKvoLanternfishUIDlg::OnClose() {
    CloseHandling();
}

void CKvoLanternfishUIDlg::CloseHandling() {
    const int stored = m_controller->ReadCloseChoice();
    if (stored == 1 || stored == 2) {
        ActOnCloseChoice(stored);
        return;
    }
    ActOnCloseChoice(m_hooks.runCloseDialog());
}

void CKvoLanternfishUIDlg::ActOnCloseChoice(int choice) {
    if (choice == 1) {
        MinimiseToTray();
    } else if (choice == 2) {
        m_controller->MarkUserExit();
        DestroyWindow();
    }
}

void CKvoLanternfishUIDlg::OnCancelCommand() {
    if (m_controller->UserExit()) {
        DestroyWindow();
    } else {
        CloseHandling();
    }
}

// ---- notifications -----------------------------------------------------------------

void CKvoLanternfishUIDlg::OnSpeedLimit(int kiloBytesPerSecond) {
    Settings().speedLimit = kiloBytesPerSecond;
    m_controller->SetSpeedLimit(kiloBytesPerSecond);
}

void CKvoLanternfishUIDlg::OnAutoShutdown() {
    m_controller->SetAutoShutdown(Settings().autoShutdown);
}

void CKvoLanternfishUIDlg::OnP2PSwitch() {
    m_controller->SetP2P(Settings().p2p);
}

void CKvoLanternfishUIDlg::OnVerificationDone() {
    if (!m_destroyed) m_controller->MainAction();
}

void CKvoLanternfishUIDlg::OnCloseChoice(int choice) {
    m_controller->SaveCloseChoice(choice);
}

// ---- notification area -------------------------------------------------------------

void CKvoLanternfishUIDlg::MinimiseToTray() {
    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
        // No notification area to hide in: keep the window reachable.
        showMinimized();
        return;
    }
    if (m_tray == nullptr) {
        m_tray = new QSystemTrayIcon(QIcon(m_skin.Image(kIconImage)), this);
        m_tray->setToolTip(Q(lfapp::translate("Message", kCaption)));
        connect(m_tray, &QSystemTrayIcon::activated, this,
                [this](QSystemTrayIcon::ActivationReason reason) {
                    if (reason == QSystemTrayIcon::DoubleClick) {
                        RestoreFromTray();
                    } else if (reason == QSystemTrayIcon::Context) {
                        m_controller->MarkUserExit();
                        QMenu menu;
                        QAction* quit = menu.addAction(tr("退出(&X)"));
                        if (menu.exec(QCursor::pos()) == quit) OnCancelCommand();
                    }
                });
    }
    m_tray->show();
    m_inTray = true;
    hide();
}

void CKvoLanternfishUIDlg::RestoreFromTray() {
    m_controller->ClearUserExit();
    if (m_tray != nullptr) m_tray->hide();
    m_inTray = false;
    showNormal();
    raise();
    activateWindow();
}

void CKvoLanternfishUIDlg::BringToFront() {
    if (m_destroyed) return;
    if (m_inTray) {
        if (m_tray != nullptr) m_tray->hide();
        m_inTray = false;
    }
    showNormal();
    raise();
    activateWindow();
}

void CKvoLanternfishUIDlg::DestroyWindow() {
    if (m_destroyed) return;
    m_destroyed = true;
    hide();
    StopTimers();
    if (m_tray != nullptr) m_tray->hide();
    m_controller->OnWindowDestroyed();
    emit windowDestroyed();
}

// ---- list and shape ------------------------------------------------------------------

void CKvoLanternfishUIDlg::ToggleList() {
    if (m_collapsed) {
        m_collapsed = false;
        setFixedSize(kWidth, kCollapsedHeight + kExpandedExtra);
        m_list->setGeometry(0, kListTop, kListWidth, kCollapsedHeight + kExpandedExtra - kListTop);
        m_list->verticalScrollBar()->show();
        m_list->show();
    } else {
        m_collapsed = true;
        m_list->hide();
        m_list->setGeometry(0, kHiddenListTop, kListWidth, kExpandedExtra);
        setFixedSize(kWidth, kCollapsedHeight);
    }
    ApplyShape();
    update();
}

void CKvoLanternfishUIDlg::ApplyShape() {
    if (m_collapsed) {
        setMask(m_collapsedRegion);
    } else {
        clearMask();
    }
}

// ---- input ------------------------------------------------------------------------------

void CKvoLanternfishUIDlg::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton && event->position().y() < 38) {
        QWindow* handle = windowHandle();
        if (handle != nullptr && handle->startSystemMove()) return;
        m_dragging = true;
        m_dragOffset = event->globalPosition().toPoint() - frameGeometry().topLeft();
    }
    QWidget::mousePressEvent(event);
}

void CKvoLanternfishUIDlg::mouseMoveEvent(QMouseEvent* event) {
    if (m_dragging && (event->buttons() & Qt::LeftButton)) {
        move(event->globalPosition().toPoint() - m_dragOffset);
    }
    QWidget::mouseMoveEvent(event);
}

void CKvoLanternfishUIDlg::mouseReleaseEvent(QMouseEvent* event) {
    m_dragging = false;
    if (event->button() == Qt::LeftButton && ToggleRect().contains(event->position().toPoint())) {
        ToggleList();
        return;
    }
    QWidget::mouseReleaseEvent(event);
}

void CKvoLanternfishUIDlg::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
        case Qt::Key_Escape:
        case Qt::Key_Return:
        case Qt::Key_Enter:
            event->accept();
            return;
        default:
            QWidget::keyPressEvent(event);
    }
}

void CKvoLanternfishUIDlg::closeEvent(QCloseEvent* event) {
    if (m_destroyed) {
        event->accept();
        return;
    }
    // A close from the window manager is the close button.
    event->ignore();
    CloseHandling();
}

// ---- painting ----------------------------------------------------------------------------

void CKvoLanternfishUIDlg::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.drawPixmap(0, 0, m_skin.Background(!m_collapsed));

    // Progress bar: background, download fill, verification fill over it.
    const QPixmap& back = m_skin.Image(kBarBackground);
    painter.drawPixmap(kBarRect.topLeft(), back);
    const int barWidth = kBarRect.width();
    const int download = BarFillWidth(barWidth, std::max(m_barDownload, 0));
    const QPixmap& fill = m_skin.Image(kBarDownload);
    if (download > 0) {
        painter.drawPixmap(kBarRect.left(), kBarRect.top(), fill, 0, 0, download, fill.height());
    }
    if (ShowsVerifyBar(m_status)) {
        const int verify = BarFillWidth(barWidth, std::max(m_barVerify, 0));
        const QPixmap& vfill = m_skin.Image(kBarVerify);
        if (verify > 0) {
            painter.drawPixmap(kBarRect.left(), kBarRect.top(), vfill, 0, 0, verify,
                               vfill.height());
        }
    }
    PaintTexts(painter);
}

std::vector<CKvoLanternfishUIDlg::PaintedText> CKvoLanternfishUIDlg::PaintedTexts() const {
    std::vector<PaintedText> texts = {
        {"version", m_version, kVersionRect},
        {"size", m_size, kSizeRect},
        {"peers", m_peers, kPeersRect},
        {"save label", Q(lfapp::translate("Status", "保存位置:")), kSaveLabelRect}};
    if (ShowsFinalText(m_status)) {
        texts.push_back({"final", m_final, kFinalRect});
    } else {
        texts.push_back({"speed", m_speed, kSpeedRect});
        // The label may run on up to the percentage's box.
        texts.push_back(
            {"label", m_label,
             QRect(kLabelRect.topLeft(), QPoint(kPercentRect.left() - 1, kLabelRect.bottom()))});
        texts.push_back({"percent", m_percent, kPercentRect.adjusted(-4, 0, 4, 0)});
    }
    return texts;
}

void CKvoLanternfishUIDlg::PaintTexts(QPainter& painter) {
    painter.setFont(m_font);
    const int single = Qt::TextSingleLine | Qt::AlignVCenter;
    auto draw = [&](const QRect& r, const QColor& colour, int align, const QString& text) {
        painter.setPen(colour);
        painter.drawText(r, single | align,
                         painter.fontMetrics().elidedText(text, Qt::ElideRight, r.width()));
    };
    if (ShowsFinalText(m_status)) {
        draw(kFinalRect, kValueColour, Qt::AlignHCenter, m_final);
    } else {
        draw(kSpeedRect, m_speedAccent ? kLabelColour : kValueColour, Qt::AlignLeft, m_speed);
        // The label is a fixed text a little wider than its box in some faces:
        // drawn whole rather than cut.
        painter.setPen(kLabelColour);
        painter.drawText(kLabelRect, single | Qt::AlignLeft | Qt::TextDontClip, m_label);
        // The percentage may be a little wider than its box: centre it on the
        // box without cutting it.
        painter.setPen(kValueColour);
        painter.drawText(kPercentRect.adjusted(-4, 0, 4, 0), single | Qt::AlignHCenter, m_percent);
    }
    draw(kVersionRect, kVersionColour, Qt::AlignLeft, m_version);
    draw(kSizeRect, kValueColour, Qt::AlignLeft, m_size);
    if (!m_peers.isEmpty()) draw(kPeersRect, kValueColour, Qt::AlignRight, m_peers);
    // The folder text is long; show its end, where the names differ.
    painter.setPen(kLabelColour);
    painter.drawText(
        kSaveFolderRect, single | Qt::AlignLeft,
        painter.fontMetrics().elidedText(m_saveFolder, Qt::ElideLeft, kSaveFolderRect.width()));
    draw(kSaveLabelRect, kLabelColour, Qt::AlignLeft, Q(lfapp::translate("Status", "保存位置:")));
}

}  // namespace lfui
