#include "shell/appconfig.h"
#include "shell/messagebox.h"

#include <QPushButton>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <memory>

namespace {

struct HttpRequest
{
    QByteArray requestLine;
    QMap<QByteArray, QByteArray> headers; // lower-case names
    QByteArray body;
};

// Reads one whole HTTP request (headers and Content-Length body) from the next connection.
bool receiveRequest(QTcpServer &server, HttpRequest *request)
{
    QElapsedTimer timer;
    timer.start();
    // The client only sends while our event loop runs.
    while (!server.hasPendingConnections() && timer.elapsed() < 10000) {
        QCoreApplication::processEvents();
        server.waitForNewConnection(20);
    }
    std::unique_ptr<QTcpSocket> socket(server.nextPendingConnection());
    if (!socket)
        return false;
    QByteArray data;
    while (timer.elapsed() < 10000) {
        const int end = data.indexOf("\r\n\r\n");
        if (end >= 0) {
            const QList<QByteArray> lines = data.left(end).split('\n');
            request->requestLine = lines.at(0).trimmed();
            for (int i = 1; i < lines.size(); ++i) {
                const int colon = lines.at(i).indexOf(':');
                request->headers.insert(lines.at(i).left(colon).trimmed().toLower(),
                    lines.at(i).mid(colon + 1).trimmed());
            }
            const int length = request->headers.value("content-length").toInt();
            if (data.size() >= end + 4 + length) {
                request->body = data.mid(end + 4, length);
                return true;
            }
        }
        QCoreApplication::processEvents();
        if (socket->waitForReadyRead(20))
            data += socket->readAll();
        data += socket->readAll();
    }
    return false;
}

QByteArray safeBase64(const QByteArray &bytes)
{
    return bytes.toBase64().replace('/', '!').replace('=', '-');
}

} // namespace

class TestMessageBox : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    // First: the style sheet must not have been read yet.
    void missingStyleSheetKeepsDefaultLook();
    void boxesHaveTheirIconButtonsAndLook_data();
    void boxesHaveTheirIconButtonsAndLook();
    void askYesNoIsTrueOnlyForYes_data();
    void askYesNoIsTrueOnlyForYes();
    void styleSheetIsReadFromResource();
    void urlSafeBase64ReplacesSlashAndPadding_data();
    void urlSafeBase64ReplacesSlashAndPadding();
    void errorBoxPostsReportToConfiguredHost();

private:
    QTemporaryDir m_home;
};

void TestMessageBox::initTestCase()
{
    qputenv("HOME", m_home.path().toUtf8());
    for (const char *name : { "http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY" })
        qunsetenv(name);
}

void TestMessageBox::cleanup()
{
    setMessageBoxHook(nullptr);
    AppConfig::setWebHost(QString());
}

void TestMessageBox::missingStyleSheetKeepsDefaultLook()
{
    Q_CLEANUP_RESOURCE(app);
    QVERIFY(!QFile::exists(QStringLiteral(":style.css")));
    QCOMPARE(appStyleSheet(), QString());
    QString sheet = QStringLiteral("<not shown>");
    setMessageBoxHook([&sheet](QMessageBox &box) {
        sheet = box.styleSheet();
        return QMessageBox::Ok;
    });
    showInfo(QStringLiteral("Still here."));
    QCOMPARE(sheet, QString());

    // An empty cache is read again on the next call.
    Q_INIT_RESOURCE(app);
    QVERIFY(appStyleSheet().contains(":main_bg.jpg"));
}

void TestMessageBox::boxesHaveTheirIconButtonsAndLook_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("icon");
    QTest::addColumn<int>("buttons");
    QTest::addColumn<QString>("text");
    QTest::newRow("info") << 0 << int(QMessageBox::Information) << int(QMessageBox::Ok) << "Saved.";
    QTest::newRow("warning") << 1 << int(QMessageBox::Warning) << int(QMessageBox::Ok)
                             << "Careful<br/>now.";
    QTest::newRow("error") << 2 << int(QMessageBox::Critical) << int(QMessageBox::Ok)
                           << "An Error Occurred. <br/><br/>Broken 100%2<br/><br/> Or you can "
                              "contact support@quillmarrow.example for help.";
    QTest::newRow("question") << 3 << int(QMessageBox::Question)
                              << int(QMessageBox::Yes | QMessageBox::No) << "Delete?";
    QTest::newRow("every button") << 4 << int(QMessageBox::NoIcon)
                                  << int(QMessageBox::Yes | QMessageBox::No | QMessageBox::Ok
                                         | QMessageBox::Cancel)
                                  << "Pick";
}

void TestMessageBox::boxesHaveTheirIconButtonsAndLook()
{
    QFETCH(int, kind);
    QFETCH(int, icon);
    QFETCH(int, buttons);
    QFETCH(QString, text);
    struct Seen
    {
        int calls = 0;
        int icon = -1;
        int buttons = 0;
        QString text, title, styleSheet;
        bool frameless = false;
    } seen;
    setMessageBoxHook([&seen](QMessageBox &box) {
        ++seen.calls;
        seen.icon = box.icon();
        seen.buttons = int(box.standardButtons());
        seen.text = box.text();
        seen.title = box.windowTitle();
        seen.styleSheet = box.styleSheet();
        seen.frameless = box.windowFlags().testFlag(Qt::FramelessWindowHint);
        return QMessageBox::Ok;
    });
    switch (kind) {
    case 0:
        showInfo(text);
        break;
    case 1:
        showWarning(text);
        break;
    case 2:
        showError("Broken 100%2");
        break;
    case 3:
        askYesNo(text);
        break;
    default:
        showMessageBox(QMessageBox::NoIcon, text,
            QMessageBox::Cancel | QMessageBox::Ok | QMessageBox::No | QMessageBox::Yes
                | QMessageBox::Save);
    }
    QCOMPARE(seen.calls, 1);
    QCOMPARE(seen.icon, icon);
    QCOMPARE(seen.buttons, buttons);
    QCOMPARE(seen.text, text);
    QCOMPARE(seen.title, QString("Quillmarrow Threadkeeper"));
    QVERIFY(seen.frameless);
    QVERIFY(!seen.styleSheet.isEmpty());
    QCOMPARE(seen.styleSheet, appStyleSheet());
}

void TestMessageBox::askYesNoIsTrueOnlyForYes_data()
{
    QTest::addColumn<int>("answer");
    QTest::addColumn<bool>("expected");
    QTest::newRow("yes") << int(QMessageBox::Yes) << true;
    QTest::newRow("no") << int(QMessageBox::No) << false;
    QTest::newRow("closed otherwise") << int(QMessageBox::NoButton) << false;
}

void TestMessageBox::askYesNoIsTrueOnlyForYes()
{
    QFETCH(int, answer);
    QFETCH(bool, expected);
    setMessageBoxHook([answer](QMessageBox &) { return QMessageBox::StandardButton(answer); });
    QCOMPARE(askYesNo("Really?"), expected);
}

void TestMessageBox::styleSheetIsReadFromResource()
{
    const QString sheet = appStyleSheet();
    QVERIFY(sheet.contains("#FE9516"));
    QVERIFY(sheet.contains(":sub_bg.jpg"));
    QVERIFY(sheet.contains(":main_bg.jpg"));
    QVERIFY(!QImage(":sub_bg.jpg").isNull());
    QVERIFY(!QImage(":main_bg.jpg").isNull());
}

void TestMessageBox::urlSafeBase64ReplacesSlashAndPadding_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("expected");
    QTest::newRow("abc") << "abc"
                         << "YWJj";
    QTest::newRow("a") << "a"
                       << "YQ--";
    QTest::newRow("slash") << "???"
                           << "Pz8!";
    QTest::newRow("plus stays") << ">>>"
                                << "Pj4+";
    QTest::newRow("UTF-8") << QStringLiteral("é") << "w6k-";
}

void TestMessageBox::urlSafeBase64ReplacesSlashAndPadding()
{
    QFETCH(QString, text);
    QFETCH(QString, expected);
    QCOMPARE(urlSafeBase64(text), expected);
}

void TestMessageBox::errorBoxPostsReportToConfiguredHost()
{
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost));
    setMessageBoxHook([](QMessageBox &) { return QMessageBox::Ok; });

    // Without a web host nothing goes out: the first request the server sees is the second.
    AppConfig::setWebHost(QString());
    showError("not sent");
    AppConfig::setWebHost(QStringLiteral("127.0.0.1:%1").arg(server.serverPort()));
    showError("Line one<BR>line two < br />see <b>this</b>");

    HttpRequest request;
    QVERIFY(receiveRequest(server, &request));
    QCOMPARE(request.requestLine, QByteArray("POST /err_report.php HTTP/1.1"));
    QCOMPARE(request.headers.value("host"), QByteArray("127.0.0.1"));
    QCOMPARE(
        request.headers.value("content-type"), QByteArray("application/x-www-form-urlencoded"));
    const QByteArray err = "Line one\r\nline two \r\nsee &lt;b&gt;this&lt;/b&gt;";
    QCOMPARE(request.body,
        "prod=" + safeBase64("Quillmarrow Threadkeeper") + "&ver=" + safeBase64("3.2.11(31)")
            + "&err=" + safeBase64(err));
}

QTEST_MAIN(TestMessageBox)
#include "tst_messagebox.moc"
