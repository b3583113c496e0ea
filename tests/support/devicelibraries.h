// Our two Apple library stand-ins, loaded from the build tree by name as the program
// loads them, and their test hooks (live objects, attaching devices, the call log).
#pragma once

#include "device/cftype.h"
#include "device/mobiledevice.h"

#include "platform/mobiledevice/amdevice.h"
#include "support/testlogthreads.h"

#include <QDir>
#include <QFile>
#include <QStringList>

#include <functional>
#include <stdexcept>

namespace devicetest {

// The registry file and the common-files folder point at nothing in `scratch`; the
// libraries' build folder goes first on PATH.
inline bool loadLibrariesOnly(const QString &scratch)
{
    qputenv("QUILLMARROW_REGISTRY", QFile::encodeName(QDir(scratch).filePath("no-registry.conf")));
    qputenv("QUILLMARROW_COMMON_FILES", QFile::encodeName(QDir(scratch).filePath("no-common")));
    qputenv("PATH", QByteArray(QM_DEVICE_LIBRARY_DIR) + ':' + qgetenv("PATH"));
    QString error;
    return mobiledevice_load_frameworks(error);
}

// For a Qt Test run: loads the libraries, whose own threads then log beside Qt Test's
// handler, never through it.
inline bool loadLibraries(const QString &scratch)
{
    testlog::keepOtherThreadsOut();
    return loadLibrariesOnly(scratch);
}

inline CFIndex liveObjects()
{
    return MOBILEDEVICE_CF(QMCFGetLiveObjectCount)();
}

inline AMDeviceRef attach(const QString &folder)
{
    return MOBILEDEVICE_MD(QMDAttachDeviceFolder)(QFile::encodeName(folder).constData());
}

inline int detach(AMDeviceRef device)
{
    return MOBILEDEVICE_MD(QMDDetachDevice)(device);
}

inline QStringList callLog(AMDeviceRef device)
{
    const CFType log(MOBILEDEVICE_MD(QMDCopyCallLog)(device), true);
    QStringList lines;
    for (int i = 0; i < log.arrayCount(); ++i)
        lines << log.at(i).toString();
    return lines;
}

// The names of the calls only: "AMDeviceConnect", ...
inline QStringList callNames(AMDeviceRef device)
{
    QStringList names;
    for (const QString &line : callLog(device))
        names << line.left(line.indexOf(QLatin1Char('(')));
    return names;
}

inline void clearCallLog(AMDeviceRef device)
{
    MOBILEDEVICE_MD(QMDClearCallLog)(device);
}

// The text of the std::runtime_error the operation throws; empty when it throws none.
inline QString errorOf(const std::function<void()> &operation)
{
    try {
        operation();
    } catch (const std::runtime_error &e) {
        return QString::fromUtf8(e.what());
    }
    return QString();
}

} // namespace devicetest
