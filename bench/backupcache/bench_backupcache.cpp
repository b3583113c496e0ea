// Caching benchmark: "prepare DIR MB FILES [encrypted]" writes a backup whose message folder
// holds FILES stored files of MB mebibytes in all, an encrypted one under a key derived in
// 10,000 rounds as a real backup's; "cache DIR CACHE" opens the backup and runs the caching
// worker under its progress dialog, as the main window does, and prints the seconds the
// worker took. run.sh times the whole process from outside.
#include "backup/backupmanifest.h"
#include "backup/itunescachesmsthread.h"
#include "shell/progressform.h"
#include "support/backupwriter.h"

#include <QApplication>
#include <QElapsedTimer>
#include <cstdio>
#include <stdexcept>

namespace {

const char kPassword[] = "bench";
// What iTunes uses for the key that unlocks an encrypted backup's keybag.
const quint32 kKeyDerivationRounds = 10000;

QByteArray noise(qint64 size)
{
    QByteArray out(static_cast<int>(size), '\0');
    quint32 x = 2463534242u;
    for (int i = 0; i < out.size(); ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        out[i] = char(x);
    }
    return out;
}

int prepare(const QString &dir, int megabytes, int files, bool encrypted)
{
    // Sizes from 1 to 20 units, so that small and large attachments mix as on a phone.
    qint64 weights = 0;
    for (int i = 0; i < files; ++i)
        weights += i % 20 + 1;
    const qint64 unit = qint64(megabytes) * 1024 * 1024 / weights;
    const QByteArray data = noise(unit * 20);

    BackupWriter writer(dir);
    if (encrypted)
        writer.setEncrypted(kPassword, kKeyDerivationRounds);
    for (int i = 0; i < files; ++i) {
        const QByteArray contents = data.left(static_cast<int>(unit * (i % 20 + 1)));
        const QString path = i == 0 ? QStringLiteral("Library/SMS/sms.db")
                                    : QStringLiteral("Library/SMS/Attachments/%1/%2/IMG_%3.JPG")
                                          .arg(i % 16, 2, 16, QLatin1Char('0'))
                                          .arg(i / 16 % 16, 2, 10, QLatin1Char('0'))
                                          .arg(i);
        const QString domain = QLatin1String(i == 0 ? "HomeDomain" : "MediaDomain");
        writer.addFileWithFolders(domain, path, contents, 1400000000 + quint32(i));
    }
    writer.write();
    return 0;
}

int cache(const QString &dir, const QString &cacheDir)
{
    BackupManifest backup(dir);
    backup.loadManifestPlist();
    if (backup.deviceInfo().IsEncrypted && !backup.unlock(QString::fromLatin1(kPassword)))
        throw std::runtime_error("unlock failed");
    backup.loadFileTree();

    QElapsedTimer timer;
    timer.start();
    ProgressForm form { QString() };
    {
        ITunesCacheSMSThread worker(&backup, cacheDir, &form);
        worker.start();
        form.exec();
        worker.wait();
    }
    const qint64 ns = timer.nsecsElapsed();
    if (form.failed)
        throw std::runtime_error("caching failed");
    std::printf("%.3f\n", double(ns) / 1e9);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    try {
        if ((args.size() == 5 || args.size() == 6) && args[1] == QLatin1String("prepare"))
            return prepare(args[2], args[3].toInt(), args[4].toInt(), args.size() == 6);
        if (args.size() == 4 && args[1] == QLatin1String("cache"))
            return cache(args[2], args[3]);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    std::fprintf(stderr, "usage: %s prepare DIR MB FILES [encrypted] | cache DIR CACHE\n", argv[0]);
    return 2;
}
