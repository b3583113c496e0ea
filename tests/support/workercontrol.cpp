#include "support/workercontrol.h"

#include "shell/progressform.h"

#include <QCoreApplication>
#include <QTranslator>

bool installEnglishTexts()
{
    static QTranslator *translator = nullptr;
    if (translator)
        return true;
    auto *loaded = new QTranslator(QCoreApplication::instance());
    if (!loaded->load(QStringLiteral(":/en.qm"))) {
        delete loaded;
        return false;
    }
    QCoreApplication::installTranslator(loaded);
    translator = loaded;
    return true;
}

void cancelFromWorker(ProgressForm &form)
{
    QMetaObject::invokeMethod(&form, "cancel", Qt::BlockingQueuedConnection);
}

void deliverLateReports()
{
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
}
