#include "shell/appconfig.h"
#include "shell/datafolder.h"
#include "app/mainwindow.h"
#include "shell/messagebox.h"

#include <QLabel>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

namespace {

const qint64 now = 1700000000;

// A small HTTP server on 127.0.0.1: records each request target and answers by path.
class LocalHttpServer : public QObject
{
public:
    struct Answer
    {
        int status = 200;
        QByteArray body;
        // When not negative: the body after this many bytes follows a moment later.
        int splitAt = -1;
    };

    LocalHttpServer()
    {
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = m_server.nextPendingConnection())
                serve(socket);
        });
    }

    bool listen() { return m_server.listen(QHostAddress::LocalHost); }
    QString hostAndPort() const
    {
        return QStringLiteral("127.0.0.1:%1").arg(m_server.serverPort());
    }
    void setAnswer(const QString &path, const Answer &answer) { m_answers[path] = answer; }
    void reset()
    {
        m_answers.clear();
        targets.clear();
    }

    QStringList targets;

private:
    void serve(QTcpSocket *socket)
    {
        auto *buffer = new QByteArray;
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QObject::destroyed, this, [buffer] { delete buffer; });
        connect(socket, &QTcpSocket::readyRead, this, [this, socket, buffer] {
            buffer->append(socket->readAll());
            if (!buffer->contains("\r\n\r\n"))
                return;
            const QList<QByteArray> requestLine = buffer->left(buffer->indexOf("\r\n")).split(' ');
            const QString target = QString::fromLatin1(requestLine.value(1));
            targets << target;
            const Answer answer = m_answers.value(QUrl(target).path(), Answer { 404, "missing" });
            QByteArray response = "HTTP/1.1 " + QByteArray::number(answer.status) + " X\r\n";
            response += "Content-Type: text/html\r\nConnection: close\r\n";
            response += "Content-Length: " + QByteArray::number(answer.body.size()) + "\r\n\r\n";
            if (answer.splitAt < 0) {
                socket->write(response + answer.body);
                socket->disconnectFromHost();
                return;
            }
            socket->write(response + answer.body.left(answer.splitAt));
            socket->flush();
            const QByteArray rest = answer.body.mid(answer.splitAt);
            QTimer::singleShot(300, socket, [socket, rest] {
                socket->write(rest);
                socket->disconnectFromHost();
            });
        });
    }

    QTcpServer m_server;
    QHash<QString, Answer> m_answers;
};

class ObservedWindow : public MainWindow
{
public:
    ObservedWindow()
        : MainWindow(nullptr, [] { return now; })
    {
    }
    QStringList opened;

protected:
    void openDownloadPage(const QString &url) override { opened << url; }
};

QString statePath(const char *name)
{
    return dataFolder().filePath(QLatin1String(name));
}

QByteArray readState(const char *name)
{
    QFile file(statePath(name));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<none>");
}

void writeState(const char *name, const QByteArray &content)
{
    QFile file(statePath(name));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
}

int pendingReplies(MainWindow &window)
{
    return window.findChild<QNetworkAccessManager *>()->findChildren<QNetworkReply *>().size();
}

QString newsText(MainWindow &window)
{
    return window.findChild<QLabel *>(QStringLiteral("lbNews"))->text();
}

const char updatePath[] = "/sms_check_update.php";
const char newsPath[] = "/adv.php";
const QString styledLink
    = QStringLiteral("<a style=\"color:#FF6016;text-decoration:none;\" href=\"%1\">%2</a>");

} // namespace

class TestMainWindowUpdate : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void checksAtMostOnceADay_data();
    void checksAtMostOnceADay();
    void sendsNothingWithoutWebHost();
    void networkFailureChangesNothing();
    void updateReplyRewritesCheckTime_data();
    void updateReplyRewritesCheckTime();
    void updateAnswerOffersDownload_data();
    void updateAnswerOffersDownload();
    void newsReplyIsRestyledShownAndSaved_data();
    void newsReplyIsRestyledShownAndSaved();
    void savedNewsIsShownAtStart_data();
    void savedNewsIsShownAtStart();
    void answersInPartsAreReadWhole();

private:
    void waitForReplies(MainWindow &window);

    QTemporaryDir m_home;
    LocalHttpServer m_server;
    QStringList m_questions;
    QMessageBox::StandardButton m_answer = QMessageBox::Yes;
};

void TestMainWindowUpdate::initTestCase()
{
    QVERIFY(m_home.isValid());
    qputenv("HOME", m_home.path().toUtf8());
    QVERIFY(dataFolder().absolutePath().startsWith(m_home.path()));
    QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy);
    QVERIFY(m_server.listen());
    setMessageBoxHook([this](QMessageBox &box) {
        m_questions << box.text();
        return m_answer;
    });
}

void TestMainWindowUpdate::init()
{
    AppConfig::setWebHost(m_server.hostAndPort());
    m_server.reset();
    m_questions.clear();
    m_answer = QMessageBox::Yes;
    QFile::remove(statePath("last-check-version-time"));
    QFile::remove(statePath("last-adv"));
}

void TestMainWindowUpdate::waitForReplies(MainWindow &window)
{
    QTRY_COMPARE_WITH_TIMEOUT(pendingReplies(window), 0, 20000);
}

void TestMainWindowUpdate::checksAtMostOnceADay_data()
{
    QTest::addColumn<QByteArray>("lastCheck"); // "<none>" for no file
    QTest::addColumn<bool>("checks");

    QTest::newRow("a day ago") << QByteArray::number(now - 86400) << false;
    QTest::newRow("a day and a second ago") << QByteArray::number(now - 86401) << true;
    QTest::newRow("an hour ahead") << QByteArray::number(now + 3600) << true;
    QTest::newRow("just now, NUL-terminated")
        << QByteArray::number(now - 5) + '\0' + "junk" << false;
    QTest::newRow("zero") << QByteArray("0") << true;
    QTest::newRow("garbage") << QByteArray("yesterday") << true;
    QTest::newRow("no file") << QByteArray("<none>") << true;
}

void TestMainWindowUpdate::checksAtMostOnceADay()
{
    QFETCH(QByteArray, lastCheck);
    QFETCH(bool, checks);
    if (lastCheck != "<none>")
        writeState("last-check-version-time", lastCheck);

    ObservedWindow window;
    QCOMPARE(pendingReplies(window), checks ? 2 : 0);
    waitForReplies(window);
    if (!checks) {
        QVERIFY(m_server.targets.isEmpty());
        return;
    }
    m_server.targets.sort();
    const QString pid = AppConfig::productId();
    QCOMPARE(m_server.targets,
        QStringList({ QStringLiteral("/adv.php?pid=%1").arg(pid),
            QStringLiteral("/sms_check_update.php?pid=%1&ver=31&q=1").arg(pid) }));
}

void TestMainWindowUpdate::sendsNothingWithoutWebHost()
{
    AppConfig::setWebHost(QString());
    ObservedWindow window;
    QCOMPARE(pendingReplies(window), 0);
    QCOMPARE(readState("last-check-version-time"), QByteArray("<none>"));
}

void TestMainWindowUpdate::networkFailureChangesNothing()
{
    QTcpServer closed;
    QVERIFY(closed.listen(QHostAddress::LocalHost));
    const quint16 port = closed.serverPort();
    closed.close(); // nothing listens there now
    AppConfig::setWebHost(QStringLiteral("127.0.0.1:%1").arg(port));
    ObservedWindow window;
    QCOMPARE(pendingReplies(window), 2);
    waitForReplies(window);
    QCOMPARE(readState("last-check-version-time"), QByteArray("<none>"));
    QCOMPARE(readState("last-adv"), QByteArray("<none>"));
    QVERIFY(m_questions.isEmpty());
}

void TestMainWindowUpdate::updateReplyRewritesCheckTime_data()
{
    QTest::addColumn<int>("status");
    QTest::newRow("200") << 200;
    QTest::newRow("404 with a body") << 404;
    QTest::newRow("500") << 500;
}

void TestMainWindowUpdate::updateReplyRewritesCheckTime()
{
    QFETCH(int, status);
    writeState("last-check-version-time", QByteArray::number(now - 90000));
    m_server.setAnswer(updatePath, { status, "no news here" });
    ObservedWindow window;
    waitForReplies(window);
    QCOMPARE(readState("last-check-version-time"), QByteArray::number(now));
    QVERIFY(m_questions.isEmpty());
}

void TestMainWindowUpdate::updateAnswerOffersDownload_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<QString>("opened"); // empty: nothing opened
    QTest::addColumn<bool>("yes");

    QTest::newRow("http") << 200 << QByteArray("http://example.com/new.exe")
                          << "http://example.com/new.exe" << true;
    QTest::newRow("scheme in capitals")
        << 200 << QByteArray("HTTP://example.com/new.exe") << "http://example.com/new.exe" << true;
    QTest::newRow("https") << 200 << QByteArray("https://example.com/new.exe")
                           << "https://example.com/new.exe" << true;
    QTest::newRow("blanks around") << 200 << QByteArray("  http://example.com/a?b=1\r\n")
                                   << "http://example.com/a?b=1" << true;
    QTest::newRow("cut at NUL") << 200 << QByteArray("http://example.com/x\0tail", 25)
                                << "http://example.com/x" << true;
    QTest::newRow("declined") << 200 << QByteArray("http://example.com/new.exe") << "" << false;
    QTest::newRow("404") << 404 << QByteArray("http://example.com/new.exe") << "" << true;
    QTest::newRow("no update") << 200 << QByteArray("0") << "" << true;
    QTest::newRow("ftp") << 200 << QByteArray("ftp://example.com/new.exe") << "" << true;
    QTest::newRow("script") << 200 << QByteArray("javascript:alert(1)") << "" << true;
    QTest::newRow("file") << 200 << QByteArray("file:///etc/passwd") << "" << true;
    QTest::newRow("no host") << 200 << QByteArray("http://") << "" << true;
    QTest::newRow("text after address")
        << 200 << QByteArray("http://example.com/a b") << "" << true;
}

void TestMainWindowUpdate::updateAnswerOffersDownload()
{
    QFETCH(int, status);
    QFETCH(QByteArray, answer);
    QFETCH(QString, opened);
    QFETCH(bool, yes);
    m_answer = yes ? QMessageBox::Yes : QMessageBox::No;
    m_server.setAnswer(updatePath, { status, answer });

    ObservedWindow window;
    window.show();
    waitForReplies(window);
    if (opened.isEmpty()) {
        QCOMPARE(m_questions.size(), yes ? 0 : 1);
        QVERIFY(window.opened.isEmpty());
        QVERIFY(window.isVisible());
        return;
    }
    QCOMPARE(m_questions,
        QStringList(QStringLiteral("A new version of Quillmarrow Threadkeeper is available. "
                                   "Would you like to download it now?")));
    QCOMPARE(window.opened, QStringList(opened));
    QVERIFY(!window.isVisible());
}

void TestMainWindowUpdate::newsReplyIsRestyledShownAndSaved_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<QString>("shown"); // empty: neither shown nor saved

    QTest::newRow("plain link") << 200
                                << QByteArray("<a href=\"http://example.com/p\">Spring sale</a>")
                                << styledLink.arg("http://example.com/p", "Spring sale");
    QTest::newRow("tag in capitals")
        << 200 << QByteArray("<A HREF='https://example.com/p' target=_blank>News</A>\n")
        << styledLink.arg("https://example.com/p", "News");
    QTest::newRow("markup and entities in the text")
        << 200
        << QByteArray("<a href=\"http://example.com/?a=1&amp;b=2\" onclick=\"x()\">"
                      "T &amp; <b>C</b> \xc3\xa9t\xc3\xa9</a>")
        << styledLink.arg("http://example.com/?a=1&amp;b=2", QStringLiteral("T &amp; C été"));
    QTest::newRow("escaped text stays text")
        << 200 << QByteArray("<a href=\"http://example.com/\">&lt;img src=x&gt;</a>")
        << styledLink.arg("http://example.com/", "&lt;img src=x&gt;");
    QTest::newRow("blank before the tag")
        << 200 << QByteArray(" <a href=\"http://example.com/p\">News</a>") << "";
    QTest::newRow("script address")
        << 200 << QByteArray("<a href=\"javascript:alert(1)\">News</a>") << "";
    QTest::newRow("more after the link")
        << 200 << QByteArray("<a href=\"http://example.com/\">News</a><img src=x onerror=y>") << "";
    QTest::newRow("two links") << 200
                               << QByteArray("<a href=\"http://example.com/\">A</a> "
                                             "<a href=\"http://example.org/\">B</a>")
                               << "";
    QTest::newRow("no address") << 200 << QByteArray("<a name=\"x\">News</a>") << "";
    QTest::newRow("no text") << 200 << QByteArray("<a href=\"http://example.com/\"> </a>") << "";
    QTest::newRow("not a link") << 200 << QByteArray("Spring sale") << "";
    QTest::newRow("404") << 404 << QByteArray("<a href=\"http://example.com/p\">News</a>") << "";
}

void TestMainWindowUpdate::newsReplyIsRestyledShownAndSaved()
{
    QFETCH(int, status);
    QFETCH(QByteArray, answer);
    QFETCH(QString, shown);
    m_server.setAnswer(newsPath, { status, answer });

    ObservedWindow window;
    waitForReplies(window);
    QCOMPARE(newsText(window), shown);
    QCOMPARE(readState("last-adv"), shown.isEmpty() ? QByteArray("<none>") : shown.toUtf8());
}

void TestMainWindowUpdate::savedNewsIsShownAtStart_data()
{
    QTest::addColumn<QByteArray>("saved");
    QTest::addColumn<QString>("shown");
    const QString link = styledLink.arg("http://example.com/p", QStringLiteral("Été"));
    QTest::newRow("saved link") << link.toUtf8() << link;
    QTest::newRow("unsafe link from elsewhere")
        << QByteArray("<a href=\"javascript:alert(1)\">x</a>") << "";
    QTest::newRow("not a link") << QByteArray("<b>bold</b>") << "";
}

void TestMainWindowUpdate::savedNewsIsShownAtStart()
{
    QFETCH(QByteArray, saved);
    QFETCH(QString, shown);
    AppConfig::setWebHost(QString());
    writeState("last-adv", saved);
    ObservedWindow window;
    QCOMPARE(newsText(window), shown);
    auto *label = window.findChild<QLabel *>(QStringLiteral("lbNews"));
    QVERIFY(label->openExternalLinks());
}

void TestMainWindowUpdate::answersInPartsAreReadWhole()
{
    // Each first part alone would pass as an answer of its own.
    const QByteArray address = "http://example.com/first/and/the/rest";
    const QByteArray news = "<a href=\"http://example.com/n\">Spring sale</a>";
    m_server.setAnswer(updatePath, { 200, address, address.indexOf("/and") });
    m_server.setAnswer(newsPath, { 200, news, news.indexOf("sale") });

    ObservedWindow window;
    window.show();
    waitForReplies(window);
    QCOMPARE(m_questions.size(), 1);
    QCOMPARE(window.opened, QStringList(QString::fromLatin1(address)));
    const QString shown = styledLink.arg("http://example.com/n", "Spring sale");
    QCOMPARE(newsText(window), shown);
    QCOMPARE(readState("last-adv"), shown.toUtf8());
}

QTEST_MAIN(TestMainWindowUpdate)
#include "tst_mainwindow_update.moc"
