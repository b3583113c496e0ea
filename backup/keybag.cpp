#include "keybag.h"

#include "backup/aescrypto.h"

#include <QStringList>
#include <QtEndian>

namespace {

bool isClassTag(const QString &tag)
{
    static const QStringList classTags = { QStringLiteral("CLAS"), QStringLiteral("WRAP"),
        QStringLiteral("WPKY"), QStringLiteral("KTYP"), QStringLiteral("PBKY") };
    return classTags.contains(tag);
}

const QString kUuid = QStringLiteral("UUID");
const QString kWrap = QStringLiteral("WRAP");
const QString kClas = QStringLiteral("CLAS");
const QString kWpky = QStringLiteral("WPKY");
const QString kSalt = QStringLiteral("SALT");
const QString kIter = QStringLiteral("ITER");
const QString kKey = QStringLiteral("KEY");

const quint32 kWrappedByPasscode = 2;

} // namespace

Keybag Keybag::parse(const QByteArray &blob)
{
    Keybag kb;
    KeybagTags current;
    const int size = blob.size();
    int pos = 0;
    while (size - pos >= 8) {
        KeybagItem item;
        item.tag = QString::fromLatin1(blob.constData() + pos, 4);
        const quint32 length = qFromBigEndian<quint32>(blob.constData() + pos + 4);
        pos += 8;
        if (length > static_cast<quint32>(size - pos))
            break; // cut short: the damaged item is dropped
        item.value = blob.mid(pos, static_cast<int>(length));
        pos += static_cast<int>(length);

        if (item.tag == kUuid && !kb.header.contains(kUuid)) {
            kb.header.insert(kUuid, item.value);
        } else if (item.tag == kWrap && !kb.header.contains(kWrap)) {
            kb.header.insert(kWrap, item.value);
        } else if (item.tag != kUuid) {
            if (isClassTag(item.tag))
                current.insert(item.tag, item.value);
            else
                kb.header.insert(item.tag, item.value);
        } else {
            if (current.contains(kClas))
                kb.classes.insert(static_cast<qint32>(tagValueU32(current, kClas)), current);
            current.clear();
            current.insert(kUuid, item.value);
        }
        if (current.contains(kClas))
            kb.classes.insert(static_cast<qint32>(tagValueU32(current, kClas)), current);
    }
    return kb;
}

QString Keybag::problem(const Keybag &keybag)
{
    if (keybag.classes.isEmpty())
        return QStringLiteral("The backup's keybag is missing or damaged.");
    if (keybag.header.value(kIter).size() < 4)
        return QStringLiteral("The backup's keybag has no iteration count.");
    const quint32 iterations = tagValueU32(keybag.header, kIter);
    if (iterations == 0 || iterations > MaxIterations)
        return QStringLiteral("The backup's keybag asks for %1 iterations, outside 1 to %2.")
            .arg(iterations)
            .arg(MaxIterations);
    return QString();
}

bool Keybag::unlock(Keybag &keybag, const QByteArray &passcode)
{
    bool anyWrapped = false;
    for (const KeybagTags &c : qAsConst(keybag.classes)) {
        if (c.contains(kWpky) && (tagValueU32(c, kWrap) & kWrappedByPasscode))
            anyWrapped = true;
    }
    if (!anyWrapped)
        return true;
    if (!problem(keybag).isEmpty())
        return false;

    const QByteArray key = pbkdf2HmacSha1(
        passcode, keybag.header.value(kSalt), tagValueU32(keybag.header, kIter), 32);
    if (key.isEmpty())
        return false;
    for (auto it = keybag.classes.begin(); it != keybag.classes.end(); ++it) {
        KeybagTags &c = it.value();
        if (!c.contains(kWpky) || !(tagValueU32(c, kWrap) & kWrappedByPasscode))
            continue;
        const QByteArray classKey = aesKeyUnwrap(key, c.value(kWpky));
        if (classKey.size() != 32)
            return false;
        c.insert(kKey, classKey);
    }
    return true;
}

QByteArray Keybag::unwrapFileKey(
    const Keybag &keybag, int protectionClass, const QByteArray &wrappedKey)
{
    const auto it = keybag.classes.constFind(protectionClass);
    if (it == keybag.classes.constEnd() || wrappedKey.size() != 40)
        return QByteArray();
    const QByteArray classKey = it->value(kKey);
    if (classKey.isEmpty())
        return QByteArray();
    return aesKeyUnwrap(classKey, wrappedKey);
}

quint32 Keybag::tagValueU32(const KeybagTags &tags, const QString &tag)
{
    const QByteArray value = tags.value(tag);
    if (value.size() < 4)
        return 0;
    return qFromBigEndian<quint32>(value.constData());
}
