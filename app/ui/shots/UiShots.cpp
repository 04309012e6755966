// Renders the main window in a set of statuses and saves one PNG each:
//   lf_ui_shots OUTDIR
// Under an X server (tools/ui-screenshots.sh starts Xvfb) the picture is
// taken from the screen, so the window's shape shows as it really is; on
// the offscreen platform the widget is rendered directly.
#include <QApplication>
#include <QDir>
#include <QGuiApplication>
#include <QPainter>
#include <QScreen>
#include <QTest>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>

#include "app/DownloadController.h"
#include "app/Translation.h"
#include "app/ui/ExitWndSetDlg.h"
#include "app/ui/KvoLanternfishUIDlg.h"
#include "app/ui/MessageBox.h"
#include "app/ui/ScriptedController.h"
#include "app/ui/SettingsDlg.h"

using lfapp::DownloadStatus;
using lfui::CKvoLanternfishUIDlg;
using lfui::ScriptedState;

namespace {

struct Shot {
    const char* name;
    std::function<void(ScriptedState&)> setUp;
    bool expanded = false;
};

void Downloading(ScriptedState& s) {
    s.initialiseResult = 1;
    s.status = DownloadStatus::Downloading;
    s.speed = "3.4 MB/s";
    s.size = "812.6 MB/2.1 GB";
    s.peers = lfapp::translate("Status", "对等端") + " 16 (41%)";
    s.overall = 3862;
    s.statusTexts = {"√ 下载完成  ", "52.17%    ", "31.08%    ",   "27.90%    ",
                     "12.44%    ",   "6.03%    ",  "准备下载    ", "准备下载    "};
}

void Finished(ScriptedState& s) {
    s.initialiseResult = 1;
    s.status = DownloadStatus::Finished;
    s.size = "2.1 GB/2.1 GB";
    s.overall = 10000;
    s.statusTexts.fill("√ 下载完成  ");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTDIR\n", argv[0]);
        return 2;
    }
    QApplication app(argc, argv);
    lfapp::InstallTranslations(lfapp::LanguageFromEnvironment());
    const QString out = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(out);
    const bool fromScreen = QGuiApplication::platformName() == QLatin1String("xcb");

    const Shot shots[] = {
        {"ready",
         [](ScriptedState& s) {
             s.statusTexts.fill("未开始    ");
             s.size = "";
         }},
        {"downloading", Downloading},
        {"downloading-expanded", Downloading, true},
        {"pause-lowspace",
         [](ScriptedState& s) {
             Downloading(s);
             s.status = DownloadStatus::Pause;
             s.lowSpace = true;
             s.speed = "0 B/s";
         }},
        {"finished", Finished},
        {"md5checking",
         [](ScriptedState& s) {
             Finished(s);
             s.status = DownloadStatus::Md5Checking;
             s.verify = 4321;
             s.statusTexts = {"√ 验证通过  ", "√ 验证通过  ", "验证中：43.21%  ", "待验证    ",
                              "待验证    ",   "待验证    ",   "待验证    ",       "待验证    "};
         },
         true},
        {"checkrecover",
         [](ScriptedState& s) {
             Finished(s);
             s.status = DownloadStatus::CheckRecover;
             s.verify = 2200;
             s.repair = 0;
             s.statusTexts = {"√ 验证通过  ", "准备修复.. ", "待验证    ", "待验证    ",
                              "待验证    ",   "待验证    ",  "待验证    ", "待验证    "};
         },
         true},
        {"checkfinished",
         [](ScriptedState& s) {
             Finished(s);
             s.status = DownloadStatus::CheckFinished;
             s.verify = 10000;
             s.repaired = true;
             s.statusTexts.fill("√ 验证通过  ");
         }},
    };

    int failures = 0;
    for (const Shot& shot : shots) {
        ScriptedState state;
        shot.setUp(state);
        // The controller's texts as the real one gives them in the language
        // of the locale ("验证中：" and "修复中：" are followed by a number).
        for (std::string& text : state.statusTexts) {
            for (const char* prefix : {"验证中：", "修复中："}) {
                if (text.rfind(prefix, 0) == 0) {
                    text = lfapp::translate("Status", prefix) + text.substr(std::strlen(prefix));
                }
            }
            text = lfapp::TranslateKnown("Status", text);
        }
        CKvoLanternfishUIDlg window(std::make_unique<lfui::ScriptedController>(state));
        if (!window.Start()) {
            ++failures;
            continue;
        }
        window.move(20, 20);
        window.show();
        window.OnPoll();
        window.OnTick();
        if (shot.expanded) window.ToggleList();
        QTest::qWait(300);
        QPixmap picture;
        if (fromScreen) {
            const QRect frame = window.geometry();
            picture = QGuiApplication::primaryScreen()->grabWindow(
                0, frame.x() - 10, frame.y() - 10, frame.width() + 20, frame.height() + 20);
        } else {
            picture = window.grab();
        }
        const QString path = out + "/" + shot.name + ".png";
        if (!picture.save(path)) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
            ++failures;
        } else {
            std::printf("%s\n", qPrintable(path));
        }
        window.hide();
    }
    // The two dialogs.
    auto save = [&](QWidget& dialog, const char* name) {
        dialog.move(20, 20);
        dialog.show();
        QTest::qWait(300);
        const QString path = out + "/" + name + ".png";
        if (!dialog.grab().save(path)) {
            ++failures;
        } else {
            std::printf("%s\n", qPrintable(path));
        }
        dialog.hide();
    };
    lfui::DownloadSettings settings{500, 1, 1};
    lfui::CSettingsDlg settingsDialog(settings);
    save(settingsDialog, "settings-dialog");
    lfui::CExitWndSetDlg closeDialog;
    save(closeDialog, "close-dialog");
    // The question before installing and a message, as the controller
    // sends them.
    std::unique_ptr<QMessageBox> question(lfui::NewMessageBox(nullptr, "是否验证安装文件的正确性？",
                                                              lfapp::kMessageCaption,
                                                              QMessageBox::Yes | QMessageBox::No));
    save(*question, "question");
    std::unique_ptr<QMessageBox> message(lfui::NewMessageBox(
        nullptr, "磁盘空间不足，请检查并重新启动下载器！", lfapp::kMessageCaption));
    save(*message, "message");

    // Every skin image on one sheet, with its id.
    const int ids[] = {198, 199, 200, 201, 202, 203, 204, 205, 210, 211, 212,
                       213, 231, 232, 233, 234, 214, 215, 216, 235, 218, 219,
                       220, 222, 223, 224, 228, 229, 230, 128, 170, 171, 172};
    QImage sheet(4 * 110, 9 * 46, QImage::Format_RGB32);
    sheet.fill(QColor(60, 60, 60));
    {
        QPainter painter(&sheet);
        painter.setPen(Qt::white);
        int n = 0;
        for (int id : ids) {
            const QPixmap image(QStringLiteral(":/skin/%1.png").arg(id));
            const int x = (n % 4) * 110 + 4, y = (n / 4) * 46 + 4;
            painter.drawText(x, y + 10, QString::number(id));
            painter.drawPixmap(x + (id >= 170 && id <= 172 ? 0 : 24), y + 12, image);
            ++n;
        }
    }
    if (!sheet.save(out + "/skin-sheet.png")) ++failures;
    return failures == 0 ? 0 : 1;
}
