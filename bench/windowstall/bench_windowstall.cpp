// The longest stall of the main window's event loop, measured by a timer that notes the
// longest gap between its ticks, while a simulated phone of many messages arrives (file
// relay, iOS 6) and its node is chosen, until the list shows every message. Beside it, the
// same reads done at once on the window's thread, as the window did them: that time is the
// stall such a window had.
// Usage: bench_windowstall [WORK_FOLDER] [MESSAGES=1000000]
#include "app/devicearrival.h"
#include "app/itemmodelsms.h"
#include "app/mainwindow.h"
#include "device/iosdevice.h"
#include "messages/ios6messagedb.h"
#include "records/msgidentity.h"
#include "shell/messagebox.h"
#include "shell/mytreeview.h"
#include "support/backuptoolinstall.h"
#include "support/devicelibraries.h"
#include "support/simulatedphone.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>

#include <cstdio>

namespace {

QTextStream out(stdout);

const int kTickMs = 5;
const int kChats = 500;
const qint64 kGiveUpMs = 15 * 60 * 1000;

// The longest gap between two ticks of a timer on the window's thread.
class StallMeter : public QObject
{
public:
    StallMeter()
    {
        connect(&m_timer, &QTimer::timeout, this, [this] {
            const qint64 now = m_clock.nsecsElapsed();
            m_longest = qMax(m_longest, now - m_last);
            m_last = now;
        });
        m_timer.setTimerType(Qt::PreciseTimer);
    }
    void start()
    {
        m_clock.start();
        m_last = 0;
        m_timer.start(kTickMs);
    }
    double longestSeconds() const { return m_longest / 1e9; }

private:
    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_last = 0;
    qint64 m_longest = 0;
};

// The reads of an arrival and of choosing the device, at once on this thread.
double readAtOnce(const QDir &cache)
{
    QElapsedTimer clock;
    clock.start();
    IOS6MessageDb db(cache, QStringLiteral("310"), false);
    QSharedPointer<MsgMessageSet> set;
    MsgMessageSet::create(set);
    db.chats(set);
    db.messages(set, 0);
    MsgMessageList list = set->messages();
    sortMessages(list, false);
    return clock.elapsed() / 1000.0;
}

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    QTemporaryDir scratch;
    const QString work = args.size() > 1 ? QDir(args.at(1)).absolutePath() : scratch.path();
    const int messages = args.size() > 2 ? args.at(2).toInt() : 1000000;
    if (messages <= 0) {
        std::fprintf(stderr, "usage: bench_windowstall [WORK_FOLDER] [MESSAGES]\n");
        return 2;
    }
    QDir().mkpath(work + QStringLiteral("/home"));
    qputenv("HOME", QFile::encodeName(work + QStringLiteral("/home")));
    if (!devicetest::loadLibraries(work)) {
        std::fprintf(stderr, "cannot load the device libraries\n");
        return 1;
    }
    const QString devices = devicetest::useDevicesFolder(work);
    const QString staging = work + QStringLiteral("/staging");
    QDir().mkpath(staging);
    setMessageBoxHook([](QMessageBox &box) {
        if (box.icon() == QMessageBox::Critical || box.icon() == QMessageBox::Warning)
            std::fprintf(stderr, "box: %s\n", qPrintable(box.text()));
        return QMessageBox::Ok;
    });

    // A country or password dialog would wait for an answer.
    DeviceArrival::setDialogHook([](QDialog &) { return 0; });

    QElapsedTimer clock;
    clock.start();
    SimulatedPhone phone(staging, QStringLiteral("bench-stall"), QStringLiteral("Stall"),
        QStringLiteral("6.1.3"), SimulatedPhone::Ios6);
    for (int c = 0; c < kChats; ++c) {
        QStringList texts;
        for (int m = c; m < messages; m += kChats)
            texts << QStringLiteral("Message %1 of a long conversation about nothing much").arg(m);
        phone.addChat(QStringLiteral("+1201555%1").arg(c, 4, 10, QLatin1Char('0')), texts);
    }
    if (!phone.write())
        return 1;
    out << QStringLiteral("phone of %1 messages in %2 chats, made in %3 s\n")
               .arg(messages)
               .arg(kChats)
               .arg(clock.elapsed() / 1000.0, 0, 'f', 1);
    out.flush();

    MainWindow window;
    window.show();
    auto *list = qobject_cast<ItemModelSms *>(
        window.findChild<MyTreeView *>(QStringLiteral("treeViewSMS"))->model());
    StallMeter meter;
    meter.start();
    clock.restart();
    if (!QDir().rename(phone.path(), devices + QStringLiteral("/bench-stall")))
        return 1;
    while (list->rowCount() < messages && clock.elapsed() < kGiveUpMs)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    const double shown = clock.elapsed() / 1000.0;
    const double stall = meter.longestSeconds();
    if (list->rowCount() < messages) {
        std::fprintf(stderr, "the list shows %d of %d messages\n", list->rowCount(), messages);
        return 1;
    }
    IOSDevice device;
    device.udid = QStringLiteral("bench-stall");
    const double atOnce = readAtOnce(device.cacheDir());
    out << QStringLiteral("plug-in to all messages listed:              %1 s\n")
               .arg(shown, 8, 'f', 2);
    out << QStringLiteral("longest stall of the window (ours):          %1 s\n")
               .arg(stall, 8, 'f', 3);
    out << QStringLiteral("the same reads at once on the window's thread: %1 s\n")
               .arg(atOnce, 8, 'f', 3);
    out << QStringLiteral("ratio ours / at once:                        %1\n")
               .arg(stall / atOnce, 8, 'f', 3);
    out << QStringLiteral("goal: longest stall under 0.5 s: %1\n")
               .arg(stall < 0.5 ? QStringLiteral("met") : QStringLiteral("NOT met"));
    out.flush();
    setMessageBoxHook(nullptr);
    return 0;
}
