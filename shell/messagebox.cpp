#include "messagebox.h"

#include "shell/appconfig.h"
#include "shell/winmovable.h"

#include <QCoreApplication>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QRegularExpression>
#include <QUrl>

namespace {

MessageBoxHook &messageBoxHook()
{
    static MessageBoxHook hook;
    return hook;
}

QString errorReportVersion()
{
    return QStringLiteral("%1(%2)").arg(AppConfig::productVersion()).arg(AppConfig::buildNumber());
}

QPointer<QNetworkAccessManager> &reportClientHolder()
{
    static QPointer<QNetworkAccessManager> client;
    return client;
}

// Runs while the application is still whole. Deleted later, with the application's other
// children, the client could no longer wind its network thread down, and a report still on
// its way would leak with all that thread holds for it, its address and text included.
void deleteReportClient()
{
    delete reportClientHolder();
}

// One client for the whole run: a report must outlive the box that sent it.
QNetworkAccessManager *reportClient()
{
    QPointer<QNetworkAccessManager> &client = reportClientHolder();
    if (!client) {
        client = new QNetworkAccessManager(QCoreApplication::instance());
        qAddPostRoutine(deleteReportClient);
    }
    return client;
}

} // namespace

QString productTitle()
{
    return QObject::tr("Quillmarrow Threadkeeper");
}

QMessageBox::StandardButton showMessageBox(
    QMessageBox::Icon icon, const QString &text, QMessageBox::StandardButtons buttons)
{
    QMessageBox box(icon, productTitle(), text, QMessageBox::NoButton, nullptr);
    box.setTextInteractionFlags(Qt::TextBrowserInteraction);
    WinMovable movable(&box);
    box.setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
    box.setStyleSheet(appStyleSheet());
    for (QMessageBox::StandardButton button :
        { QMessageBox::Yes, QMessageBox::No, QMessageBox::Ok, QMessageBox::Cancel }) {
        if (buttons.testFlag(button))
            box.addButton(button);
    }
    if (const MessageBoxHook &hook = messageBoxHook())
        return hook(box);
    return QMessageBox::StandardButton(box.exec());
}

void showError(const QString &text)
{
    showMessageBox(QMessageBox::Critical,
        QStringLiteral("An Error Occurred. <br/><br/>%1<br/><br/> Or you can contact "
                       "%2 for help.")
            .arg(text, AppConfig::supportEmail()),
        QMessageBox::Ok);
    sendErrorReport(text);
}

void showCriticalAndReport(const QString &text)
{
    showMessageBox(QMessageBox::Critical, text, QMessageBox::Ok);
    sendErrorReport(text);
}

void showInfo(const QString &text)
{
    showMessageBox(QMessageBox::Information, text, QMessageBox::Ok);
}

void showWarning(const QString &text)
{
    showMessageBox(QMessageBox::Warning, text, QMessageBox::Ok);
}

bool askYesNo(const QString &text)
{
    return showMessageBox(QMessageBox::Question, text, QMessageBox::Yes | QMessageBox::No)
        == QMessageBox::Yes;
}

void setMessageBoxHook(MessageBoxHook hook)
{
    messageBoxHook() = std::move(hook);
}

QString appStyleSheet()
{
    static QString cached;
    if (cached.isEmpty()) {
        QFile file(QStringLiteral(":style.css"));
        if (file.open(QIODevice::ReadOnly)) {
            QByteArray bytes = file.readAll();
            const int zero = bytes.indexOf('\0');
            if (zero >= 0)
                bytes.truncate(zero);
            cached = QString::fromLatin1(bytes);
        }
    }
    return cached;
}

QString urlSafeBase64(const QString &text)
{
    QString encoded = QString::fromLatin1(text.toUtf8().toBase64());
    encoded.replace(QLatin1Char('/'), QLatin1Char('!'));
    encoded.replace(QLatin1Char('='), QLatin1Char('-'));
    return encoded;
}

void sendErrorReport(const QString &text)
{
    const QString host = AppConfig::webHostName();
    if (host.isEmpty())
        return;

    QString err = text;
    err.replace(
        QRegularExpression(QStringLiteral("< *br */?>"), QRegularExpression::CaseInsensitiveOption),
        QStringLiteral("\r\n"));
    err.replace(QLatin1Char('<'), QStringLiteral("&lt;"));
    err.replace(QLatin1Char('>'), QStringLiteral("&gt;"));
    const QString body = QStringLiteral("prod=") + urlSafeBase64(productTitle())
        + QStringLiteral("&ver=") + urlSafeBase64(errorReportVersion()) + QStringLiteral("&err=")
        + urlSafeBase64(err);

    QUrl url;
    url.setScheme(QStringLiteral("http"));
    url.setHost(host);
    url.setPort(AppConfig::webHostPort());
    url.setPath(QStringLiteral("/err_report.php"));
    QNetworkRequest request(url);
    request.setRawHeader("Host", host.toUtf8());
    request.setHeader(
        QNetworkRequest::ContentTypeHeader, QStringLiteral("application/x-www-form-urlencoded"));
    QNetworkReply *reply = reportClient()->post(request, body.toUtf8());
    QObject::connect(reply, &QNetworkReply::finished, reply, &QObject::deleteLater);
}
