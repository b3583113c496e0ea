#include "startup.h"

#include "app/mainwindow.h"
#include "device/mobiledevice.h"
#include "operations/updatelocaldbthread.h"
#include "shell/appconfig.h"
#include "shell/dailylog.h"
#include "shell/datafolder.h"
#include "shell/messagebox.h"
#include "shell/progressform.h"

#include <QApplication>
#include <QRegularExpression>
#include <QTimer>
#include <QTranslator>

#include <memory>

namespace {

const char autoQuitVariable[] = "QUILLMARROW_AUTOQUIT_MS";

QMessageBox::StandardButton dismissButton(const QMessageBox &box)
{
    const QMessageBox::StandardButtons buttons = box.standardButtons();
    for (QMessageBox::StandardButton button :
        { QMessageBox::Cancel, QMessageBox::No, QMessageBox::Ok, QMessageBox::Yes }) {
        if (buttons.testFlag(button))
            return button;
    }
    return QMessageBox::NoButton;
}

// Unattended runs (the start-up tests) must never wait for a user.
void setUpAutoQuit(QApplication &app)
{
    bool ok = false;
    const int ms = qEnvironmentVariableIntValue(autoQuitVariable, &ok);
    if (!ok || ms < 0)
        return;
    setMessageBoxHook([](QMessageBox &box) {
        qDebug("Message box dismissed: %s", qUtf8Printable(box.text()));
        return dismissButton(box);
    });
    QTimer::singleShot(ms, &app, &QCoreApplication::quit);
}

// The text with its "%1" link pointing at url, or with the link's words alone when there is
// no url: a link must never lead to a host that was never configured.
QString withLink(const QString &text, const QString &url)
{
    if (!url.isEmpty())
        return text.arg(url);
    static const QRegularExpression link(QStringLiteral("<a\\s[^>]*href=\"%1\"[^>]*>(.*?)</a>"),
        QRegularExpression::CaseInsensitiveOption | QRegularExpression::DotMatchesEverythingOption);
    return QString(text).replace(link, QStringLiteral("\\1"));
}

} // namespace

int runApplication(int &argc, char **argv, int (*wrapperVersion)())
{
    std::unique_ptr<QApplication> ownApp;
    if (!QCoreApplication::instance())
        ownApp = std::make_unique<QApplication>(argc, argv);
    auto *app = qobject_cast<QApplication *>(QCoreApplication::instance());
    if (!app)
        return 1;

    QTranslator translator;
    translator.load(QStringLiteral(":/en.qm"));
    QCoreApplication::installTranslator(&translator);
    setUpAutoQuit(*app);

    if (!wrapperVersion || wrapperVersion() != 5) {
        showError(QStringLiteral("invalid libsqlite_qt."));
        return 1;
    }

    initLogFile(dataFolder().filePath(QStringLiteral("qlogs")), 10);
    // Every run leaves its mark in the day's log, also one that nothing else reports in.
    qDebug("%s %s(%d) started", qUtf8Printable(productTitle()),
        qUtf8Printable(AppConfig::productVersion()), AppConfig::buildNumber());

    QString frameworkError;
    mobiledevice_load_frameworks(frameworkError);

    MainWindow window;
    window.show();

    if (!mobiledevice_frameworks_loaded()) {
        showWarning(withLink(QObject::tr("IDS_NONE_INSTALL_ITUNES"),
            AppConfig::helpUrl(QStringLiteral(
                "/tutorial/how-to-connect-ios-device-to-quillmarrow-successfully.html"))));
    }

    // Local databases of the old single-file layout are converted before anything else
    // touches them; after a successful conversion the user starts the program again.
    localDbFolder();
    if (!UpdateLocalDbThread::legacyFolders(dataFolder()).isEmpty()) {
        ProgressForm form { QString() };
        form.setCancelEnabled(false);
        UpdateLocalDbThread worker(&form);
        worker.start();
        const int result = form.exec();
        worker.wait();
        if (result == 1 && !form.failed) {
            QMetaObject::invokeMethod(&window, "close", Qt::QueuedConnection);
            return QCoreApplication::exec();
        }
    }

    return QCoreApplication::exec();
}
