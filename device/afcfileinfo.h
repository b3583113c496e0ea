// The attributes of one path on the device, as its file service reports them.
#pragma once

#include <QDateTime>
#include <QMap>
#include <QString>

class AFCFileInfo
{
public:
    AFCFileInfo() = default;
    explicit AFCFileInfo(const QString &path);

    // Filled from the service's "st_size", "st_mtime" (nanoseconds since 1970) and
    // "st_ifmt"; what is missing or no number stays empty.
    void fill(const QMap<QString, QString> &attributes);

    bool exists() const { return !type.isEmpty(); }
    bool isFile() const;
    bool isDir() const;

    QString path;
    qint64 size = 0;
    QDateTime modificationTime;
    QString type;
};
