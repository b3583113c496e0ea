// Decryption benchmark: "prepare DIR MB" writes an encrypted backup holding one file of MB
// mebibytes (and the file's key and stored path for openssl); "decrypt DIR OUT" unlocks the
// backup and copies the file out through BackupManifest::extractFile, printing the time taken.
#include "backup/backupmanifest.h"
#include "backup/keybag.h"
#include "support/backupwriter.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTextStream>
#include <cstdio>
#include <stdexcept>

namespace {

const char kPassword[] = "bench";
const char kDomain[] = "HomeDomain";
const char kPath[] = "Library/SMS/sms.db";

void writeText(const QString &path, const QByteArray &text)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(text) != text.size())
        throw std::runtime_error("cannot write " + path.toStdString());
}

int prepare(const QString &dir, int megabytes)
{
    QByteArray plain(megabytes * 1024 * 1024 + 5, '\0');
    quint32 x = 2463534242u;
    for (int i = 0; i < plain.size(); ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        plain[i] = char(x);
    }
    BackupWriter writer(dir);
    writer.setEncrypted(kPassword, 16);
    writer.addFolder(kDomain, "Library");
    writer.addFolder(kDomain, "Library/SMS");
    writer.addFile(kDomain, kPath, plain);
    writer.write();
    writeText(dir + "/plain.bin", plain);

    // The file key, unwrapped the way the reader does, for openssl.
    BackupManifest manifest(dir);
    manifest.loadManifestPlist();
    if (!manifest.unlock(kPassword))
        throw std::runtime_error("unlock failed");
    manifest.loadFileTree();
    const MbdbRecord &r = manifest.smsDb()->record;
    const QByteArray key
        = Keybag::unwrapFileKey(manifest.keybag(), r.ProtectionClass, r.EncryptionKey.Bytes.mid(4));
    writeText(dir + "/key.hex", key.toHex() + '\n');
    writeText(dir + "/stored.path", writer.storedPath(kDomain, kPath).toUtf8() + '\n');
    return 0;
}

int decrypt(const QString &dir, const QString &out)
{
    BackupManifest manifest(dir);
    manifest.loadManifestPlist();
    if (!manifest.unlock(kPassword))
        throw std::runtime_error("unlock failed");
    manifest.loadFileTree();
    QElapsedTimer timer;
    timer.start();
    manifest.extractFile(manifest.smsDb(), out, nullptr);
    const qint64 ns = timer.nsecsElapsed();
    std::printf("%.3f\n", double(ns) / 1e9);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    try {
        if (args.size() == 4 && args[1] == QLatin1String("prepare"))
            return prepare(args[2], args[3].toInt());
        if (args.size() == 4 && args[1] == QLatin1String("decrypt"))
            return decrypt(args[2], args[3]);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    std::fprintf(stderr, "usage: %s prepare DIR MB | decrypt DIR OUT\n", argv[0]);
    return 2;
}
