#include "afcfileinfo.h"

AFCFileInfo::AFCFileInfo(const QString &path)
    : path(path)
{
}

void AFCFileInfo::fill(const QMap<QString, QString> &attributes)
{
    type = attributes.value(QStringLiteral("st_ifmt"));
    size = attributes.value(QStringLiteral("st_size")).toLongLong();
    bool isNumber = false;
    const qint64 nanoseconds = attributes.value(QStringLiteral("st_mtime")).toLongLong(&isNumber);
    if (isNumber)
        modificationTime = QDateTime::fromMSecsSinceEpoch(nanoseconds / 1000000);
}

bool AFCFileInfo::isFile() const
{
    return type.compare(QLatin1String("S_IFREG"), Qt::CaseInsensitive) == 0;
}

bool AFCFileInfo::isDir() const
{
    return type.compare(QLatin1String("S_IFDIR"), Qt::CaseInsensitive) == 0;
}
