#include "support/testlogthreads.h"

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace testlog {

namespace {

std::atomic<QtMessageHandler> testHandler { nullptr };
std::atomic<std::thread::id> testThread;

const char *kindOf(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg:
        return "QDEBUG";
    case QtInfoMsg:
        return "QINFO";
    case QtWarningMsg:
        return "QWARN";
    case QtCriticalMsg:
        return "QCRITICAL";
    case QtFatalMsg:
        return "QFATAL";
    }
    return "?";
}

void route(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    const QtMessageHandler next = testHandler.load();
    if (next && std::this_thread::get_id() == testThread) {
        next(type, context, message);
        return;
    }
    std::fprintf(stderr, "%s  (another thread) %s\n", kindOf(type),
        message.toLocal8Bit().constData());
    if (type == QtFatalMsg)
        std::abort();
}

} // namespace

void keepOtherThreadsOut()
{
    testThread = std::this_thread::get_id();
    const QtMessageHandler current = qInstallMessageHandler(route);
    if (current != route)
        testHandler = current;
}

} // namespace testlog
