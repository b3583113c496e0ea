#include "mbdbrecord.h"

#include <QCryptographicHash>

#include <algorithm>
#include <tuple>
#include <vector>

QString MbdbString::toString() const
{
    if (!isValid())
        return QString();
    const int zero = Bytes.indexOf('\0');
    return QString::fromUtf8(zero < 0 ? Bytes : Bytes.left(zero));
}

void MbdbString::setBytes(const QByteArray &bytes)
{
    Bytes = bytes;
    Length = static_cast<quint16>(bytes.size());
}

QString MbdbRecord::fileName() const
{
    return mbdbFileName(Domain.toString(), Path.toString());
}

bool MbdbRecord::isDirectory() const
{
    return Size == 0 && LinkTarget.toString().isEmpty();
}

QString mbdbFileName(const QString &domain, const QString &path)
{
    const QByteArray id = (domain + QLatin1Char('-') + path).toUtf8();
    return QString::fromLatin1(QCryptographicHash::hash(id, QCryptographicHash::Sha1).toHex());
}

bool mbdbRecordLess(const MbdbRecord &a, const MbdbRecord &b)
{
    const QString da = a.Domain.toString();
    const QString db = b.Domain.toString();
    if (da != db)
        return da < db;
    return a.Path.toString() < b.Path.toString();
}

void sortMbdbRecords(QList<MbdbRecord> &records)
{
    struct Key
    {
        QString domain;
        QString path;
        int index;
    };
    std::vector<Key> keys;
    keys.reserve(static_cast<size_t>(records.size()));
    for (int i = 0; i < records.size(); ++i)
        keys.push_back({ records[i].Domain.toString(), records[i].Path.toString(), i });
    std::stable_sort(keys.begin(), keys.end(), [](const Key &a, const Key &b) {
        return std::tie(a.domain, a.path) < std::tie(b.domain, b.path);
    });
    QList<MbdbRecord> sorted;
    sorted.reserve(records.size());
    for (const Key &k : keys)
        sorted.append(std::move(records[k.index]));
    records = std::move(sorted);
}
