#include "backupwriter.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QStringList>
#include <algorithm>
#include <cstring>
#include <mbedtls/aes.h>
#include <mbedtls/md.h>
#include <mbedtls/pkcs5.h>
#include <stdexcept>

namespace {

void appendString(QByteArray &out, const QByteArray &value)
{
    if (value.isNull()) {
        out.append(char(0xFF)).append(char(0xFF));
        return;
    }
    out.append(char((value.size() >> 8) & 0xFF)).append(char(value.size() & 0xFF));
    out.append(value);
}

void appendBe(QByteArray &out, quint64 value, int bytes)
{
    for (int i = bytes - 1; i >= 0; --i)
        out.append(char((value >> (8 * i)) & 0xFF));
}

QString xmlEscape(const QString &text)
{
    QString s = text;
    s.replace(QLatin1Char('&'), QLatin1String("&amp;"));
    s.replace(QLatin1Char('<'), QLatin1String("&lt;"));
    s.replace(QLatin1Char('>'), QLatin1String("&gt;"));
    return s;
}

void writeFile(const QString &path, const QByteArray &data)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(data) != data.size())
        throw std::runtime_error("BackupWriter: cannot write " + path.toStdString());
}

QByteArray pbkdf2(const QByteArray &password, const QByteArray &salt, quint32 iterations)
{
    mbedtls_md_context_t md;
    mbedtls_md_init(&md);
    mbedtls_md_setup(&md, mbedtls_md_info_from_type(MBEDTLS_MD_SHA1), 1);
    QByteArray key(32, '\0');
    mbedtls_pkcs5_pbkdf2_hmac(&md, reinterpret_cast<const unsigned char *>(password.constData()),
        size_t(password.size()), reinterpret_cast<const unsigned char *>(salt.constData()),
        size_t(salt.size()), iterations, 32, reinterpret_cast<unsigned char *>(key.data()));
    mbedtls_md_free(&md);
    return key;
}

} // namespace

BackupWriter::BackupWriter(const QString &folder)
    : m_folder(folder)
{
}

void BackupWriter::setDevice(const QString &udid, const QString &name)
{
    m_udid = udid;
    m_deviceName = name;
}

QByteArray BackupWriter::randomBytes(int size)
{
    // Deterministic so that a failing test can be rerun on the same bytes.
    QByteArray out(size, '\0');
    for (int i = 0; i < size; ++i) {
        m_seed = m_seed * 1103515245u + 12345u;
        out[i] = char((m_seed >> 16) & 0xFF);
    }
    return out;
}

void BackupWriter::setEncrypted(const QByteArray &password, quint32 iterations)
{
    m_encrypted = true;
    const QByteArray salt = randomBytes(20);
    const QByteArray passKey = pbkdf2(password, salt, iterations);
    m_keybag = keybagItem("VERS", u32be(3)) + keybagItem("TYPE", u32be(1))
        + keybagItem("UUID", randomBytes(16)) + keybagItem("HMCK", randomBytes(40))
        + keybagItem("WRAP", u32be(0)) + keybagItem("SALT", salt)
        + keybagItem("ITER", u32be(iterations));
    m_classKeys.clear();
    for (int cls = 1; cls <= 11; ++cls) {
        const QByteArray key = randomBytes(32);
        m_classKeys.append(qMakePair(cls, key));
        m_keybag += keybagItem("UUID", randomBytes(16)) + keybagItem("CLAS", u32be(quint32(cls)))
            + keybagItem("WRAP", u32be(2)) + keybagItem("KTYP", u32be(0))
            + keybagItem("WPKY", aesKeyWrap(passKey, key));
    }
}

QByteArray BackupWriter::classKey(int protectionClass) const
{
    for (const auto &p : m_classKeys) {
        if (p.first == protectionClass)
            return p.second;
    }
    return QByteArray();
}

void BackupWriter::addFolder(const QString &domain, const QString &path, quint32 mtime)
{
    Record r;
    r.domain = domain.toUtf8();
    r.path = path.toUtf8();
    if (r.path.isNull())
        r.path = QByteArray("");
    r.mode = 040755;
    r.inodeLow = m_nextInode++;
    r.mtime = r.atime = r.ctime = mtime;
    r.protectionClass = 0;
    m_records.append(r);
    m_stored.append(qMakePair(QString(), QByteArray()));
}

int BackupWriter::addFile(const QString &domain, const QString &path, const QByteArray &contents,
    quint32 mtime, quint8 protectionClass)
{
    Record r;
    r.domain = domain.toUtf8();
    r.path = path.toUtf8();
    r.dataHash = QCryptographicHash::hash(contents, QCryptographicHash::Sha1);
    r.mode = 0100644;
    r.inodeLow = m_nextInode++;
    r.mtime = r.atime = mtime;
    r.ctime = mtime - 100;
    r.size = quint64(contents.size());
    r.protectionClass = protectionClass;
    QByteArray stored = contents;
    if (m_encrypted) {
        const QByteArray fileKey = randomBytes(32);
        QByteArray prefix(4, '\0');
        prefix[0] = char(protectionClass); // little-endian class, as devices store it
        r.encryptionKey = prefix + aesKeyWrap(classKey(protectionClass), fileKey);
        stored = aesCbcEncrypt(fileKey, contents);
    }
    m_records.append(r);
    m_stored.append(qMakePair(fileId(domain, path), stored));
    return m_records.size() - 1;
}

int BackupWriter::addFileWithFolders(const QString &domain, const QString &path,
    const QByteArray &contents, quint32 mtime, quint8 protectionClass)
{
    QStringList folders { QString() };
    const QStringList parts = path.split(QLatin1Char('/'));
    for (int i = 1; i < parts.size(); ++i)
        folders.append(QStringList(parts.mid(0, i)).join(QLatin1Char('/')));
    for (const QString &folder : folders) {
        if (indexOf(domain, folder) < 0)
            addFolder(domain, folder, mtime);
    }
    return addFile(domain, path, contents, mtime, protectionClass);
}

int BackupWriter::addLocalFile(const QString &domain, const QString &path, const QString &localPath,
    quint32 mtime, quint8 protectionClass)
{
    QFile f(localPath);
    if (!f.open(QIODevice::ReadOnly))
        throw std::runtime_error("BackupWriter: cannot read " + localPath.toStdString());
    return addFileWithFolders(domain, path, f.readAll(), mtime, protectionClass);
}

int BackupWriter::indexOf(const QString &domain, const QString &path) const
{
    const QByteArray d = domain.toUtf8();
    const QByteArray p = path.toUtf8();
    for (int i = 0; i < m_records.size(); ++i) {
        if (m_records[i].domain == d && m_records[i].path == p)
            return i;
    }
    return -1;
}

QString BackupWriter::storedPath(const QString &domain, const QString &path) const
{
    return QDir(m_folder).filePath(fileId(domain, path));
}

QString BackupWriter::fileId(const QString &domain, const QString &path)
{
    return QString::fromLatin1(QCryptographicHash::hash(
        (domain + QLatin1Char('-') + path).toUtf8(), QCryptographicHash::Sha1)
                                   .toHex());
}

QByteArray BackupWriter::serializeRecord(const Record &r)
{
    QByteArray out;
    appendString(out, r.domain);
    appendString(out, r.path);
    appendString(out, r.linkTarget);
    appendString(out, r.dataHash);
    appendString(out, r.encryptionKey);
    appendBe(out, r.mode, 2);
    appendBe(out, r.inodeHigh, 4);
    appendBe(out, r.inodeLow, 4);
    appendBe(out, r.uid, 4);
    appendBe(out, r.gid, 4);
    appendBe(out, r.mtime, 4);
    appendBe(out, r.atime, 4);
    appendBe(out, r.ctime, 4);
    appendBe(out, r.size, 8);
    appendBe(out, r.protectionClass, 1);
    appendBe(out, quint64(r.properties.size()), 1);
    for (const auto &p : r.properties) {
        appendString(out, p.first);
        appendString(out, p.second);
    }
    return out;
}

QByteArray BackupWriter::serializeIndex(const QList<Record> &records)
{
    QByteArray out("mbdb\x05\x00", 6);
    for (const Record &r : records)
        out += serializeRecord(r);
    return out;
}

QByteArray BackupWriter::keybagItem(const char *tag, const QByteArray &value)
{
    return QByteArray(tag, 4) + u32be(quint32(value.size())) + value;
}

QByteArray BackupWriter::u32be(quint32 value)
{
    QByteArray out;
    appendBe(out, value, 4);
    return out;
}

QByteArray BackupWriter::aesKeyWrap(const QByteArray &kek, const QByteArray &keyData)
{
    // RFC 3394 section 2.2.1, index-based form.
    const int n = keyData.size() / 8;
    mbedtls_aes_context ctx;
    mbedtls_aes_init(&ctx);
    mbedtls_aes_setkey_enc(&ctx, reinterpret_cast<const unsigned char *>(kek.constData()), 256);
    unsigned char a[8];
    memset(a, 0xA6, 8);
    QByteArray r = keyData;
    for (int j = 0; j <= 5; ++j) {
        for (int i = 1; i <= n; ++i) {
            unsigned char b[16];
            memcpy(b, a, 8);
            memcpy(b + 8, r.constData() + (i - 1) * 8, 8);
            mbedtls_aes_crypt_ecb(&ctx, MBEDTLS_AES_ENCRYPT, b, b);
            const quint64 t = quint64(n) * quint64(j) + quint64(i);
            for (int k = 0; k < 8; ++k)
                a[k] = b[k] ^ static_cast<unsigned char>((t >> (8 * (7 - k))) & 0xFF);
            memcpy(r.data() + (i - 1) * 8, b + 8, 8);
        }
    }
    mbedtls_aes_free(&ctx);
    return QByteArray(reinterpret_cast<const char *>(a), 8) + r;
}

QByteArray BackupWriter::aesCbcEncrypt(const QByteArray &key, const QByteArray &plain)
{
    const int pad = 16 - plain.size() % 16;
    QByteArray data = plain + QByteArray(pad, char(pad));
    mbedtls_aes_context ctx;
    mbedtls_aes_init(&ctx);
    mbedtls_aes_setkey_enc(&ctx, reinterpret_cast<const unsigned char *>(key.constData()), 256);
    unsigned char iv[16] = {};
    auto *p = reinterpret_cast<unsigned char *>(data.data());
    mbedtls_aes_crypt_cbc(&ctx, MBEDTLS_AES_ENCRYPT, size_t(data.size()), iv, p, p);
    mbedtls_aes_free(&ctx);
    return data;
}

QString BackupWriter::manifestPlistXml() const
{
    QString xml = QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                                 "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
                                 "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
                                 "<plist version=\"1.0\">\n<dict>\n");
    if (m_encrypted) {
        xml += QStringLiteral("\t<key>BackupKeyBag</key>\n\t<data>%1</data>\n")
                   .arg(QString::fromLatin1(m_keybag.toBase64()));
    }
    xml += QStringLiteral("\t<key>Date</key>\n\t<date>%1</date>\n")
               .arg(m_date.toUTC().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ssZ")));
    xml += QStringLiteral("\t<key>IsEncrypted</key>\n\t<%1/>\n")
               .arg(m_encrypted ? QStringLiteral("true") : QStringLiteral("false"));
    xml += QStringLiteral("\t<key>Lockdown</key>\n\t<dict>\n");
    const QList<QPair<QString, QString>> lockdown = {
        { QStringLiteral("DeviceName"), m_deviceName },
        { QStringLiteral("ProductType"), QStringLiteral("iPhone5,2") },
        { QStringLiteral("ProductVersion"), QStringLiteral("7.1.2") },
        { QStringLiteral("SerialNumber"), QStringLiteral("F2LKQ0XXDTWF") },
        { QStringLiteral("UniqueDeviceID"), m_udid },
    };
    for (const auto &kv : lockdown) {
        xml += QStringLiteral("\t\t<key>%1</key>\n\t\t<string>%2</string>\n")
                   .arg(kv.first, xmlEscape(kv.second));
    }
    xml += QStringLiteral(
        "\t</dict>\n\t<key>WasPasscodeSet</key>\n\t<false/>\n</dict>\n</plist>\n");
    return xml;
}

void BackupWriter::write()
{
    QDir().mkpath(m_folder);
    const QDir dir(m_folder);
    writeFile(dir.filePath(QStringLiteral("Manifest.plist")), manifestPlistXml().toUtf8());
    const QString status = QStringLiteral(
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
        "\t<key>BackupState</key>\n\t<string>new</string>\n"
        "\t<key>IsFullBackup</key>\n\t<false/>\n"
        "\t<key>SnapshotState</key>\n\t<string>finished</string>\n"
        "\t<key>UUID</key>\n\t<string>%1</string>\n"
        "\t<key>Version</key>\n\t<string>2.4</string>\n</dict>\n</plist>\n")
                               .arg(m_udid.toUpper());
    writeFile(dir.filePath(QStringLiteral("Status.plist")), status.toUtf8());

    // Records go out in index order (domain, then path) so that a rewrite is byte-identical.
    QList<int> order;
    for (int i = 0; i < m_records.size(); ++i)
        order.append(i);
    std::stable_sort(order.begin(), order.end(), [this](int a, int b) {
        const QString da = QString::fromUtf8(m_records[a].domain);
        const QString db = QString::fromUtf8(m_records[b].domain);
        if (da != db)
            return da < db;
        return QString::fromUtf8(m_records[a].path) < QString::fromUtf8(m_records[b].path);
    });
    QList<Record> sorted;
    for (int i : order)
        sorted.append(m_records[i]);
    writeFile(dir.filePath(QStringLiteral("Manifest.mbdb")), serializeIndex(sorted));
    for (const auto &s : m_stored) {
        if (!s.first.isEmpty())
            writeFile(dir.filePath(s.first), s.second);
    }
}
