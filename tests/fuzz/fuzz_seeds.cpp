// Writes the seed corpora of the fuzz targets, each a few small, valid inputs made with the
// shared test builders: fuzz_seeds <corpus folder>. A target's folder keeps the inputs that
// once crashed it beside these seeds; they are never written here.
#include "device/afcprotocol.h"
#include "platform/backuptool/indexfile.h"
#include "platform/samplephones/simulateddevicefolder.h"
#include "support/afcpacket.h"
#include "support/backupwriter.h"
#include "support/carvablesmsdb.h"
#include "support/servicepeer.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <archive.h>
#include <archive_entry.h>

#include <cstdio>
#include <functional>

namespace {

using afctest::le64;

QDir g_corpus;

void seed(const QString &target, const QString &name, const QByteArray &bytes)
{
    const QString folder = g_corpus.filePath(target);
    QDir().mkpath(folder);
    QFile file(QDir(folder).filePath(QStringLiteral("seed-") + name));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
        qFatal("cannot write %s", qPrintable(file.fileName()));
}

QByteArray fileBytes(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        qFatal("cannot read %s", qPrintable(path));
    return file.readAll();
}

const QDateTime someDate(QDate(2014, 5, 1), QTime(10, 0, 30), Qt::UTC);

// A device-link message: its name, then its items.
QVariantList link(const QString &name, const QVariantList &items = {})
{
    return QVariantList { name } + items;
}

QVariantMap contactRecords()
{
    return { { QStringLiteral("1"),
        QVariantMap { { "com.apple.syncservices.RecordEntityName", "com.apple.contacts.Contact" },
            { "first name", "Ann" }, { "birthday", someDate }, { "photo", QByteArray("\xff\xd8") },
            { "rank", 2.5 }, { "favourite", true } } } };
}

void backupSeeds(const QString &scratch)
{
    BackupWriter writer(QDir(scratch).filePath(QStringLiteral("backup")));
    writer.setDevice(QStringLiteral("0123456789abcdef0123456789abcdef01234567"), "Seed");
    writer.setEncrypted("password", 4);
    writer.addFileWithFolders(
        QStringLiteral("HomeDomain"), QStringLiteral("Library/SMS/sms.db"), "database");
    writer.addFile(QStringLiteral("MediaDomain"), QStringLiteral("Library/SMS/Attachments/a.jpg"),
        QByteArray(40, 'j'));
    writer.write();
    const QDir folder(writer.folder());
    seed("fuzz_mbdb", "encrypted.mbdb", fileBytes(folder.filePath("Manifest.mbdb")));
    BackupWriter::Record link;
    link.domain = "HomeDomain";
    link.path = "Library/link";
    link.linkTarget = "/var/mobile";
    link.mode = 0120755;
    link.properties = { { "com.apple.assetsd.UUID", "1234" } };
    seed("fuzz_mbdb", "link.mbdb", BackupWriter::serializeIndex({ link }));
    seed("fuzz_keybag", "keybag", writer.keybagBlob());
    const QByteArray manifest = fileBytes(folder.filePath("Manifest.plist"));
    seed("fuzz_plist", "manifest.plist", manifest);
    seed("fuzz_backuptool", "manifest.plist", manifest);

    IndexRecord file;
    file.domain = QStringLiteral("HomeDomain");
    file.path = QStringLiteral("Library/SMS/sms.db");
    file.digest = QByteArray(20, 'd');
    file.wrappedKey = QByteArray(44, 'k');
    file.mode = 0100644;
    file.size = 8;
    file.protectionClass = 3;
    IndexRecord folderRecord = file;
    folderRecord.path = QStringLiteral("Library/SMS");
    folderRecord.digest.clear();
    folderRecord.wrappedKey.clear();
    folderRecord.mode = 040755;
    folderRecord.size = 0;
    const QString index = QDir(scratch).filePath(QStringLiteral("tool.mbdb"));
    writeIndexFile({ folderRecord, file }, index);
    seed("fuzz_backuptool", "index.mbdb", fileBytes(index));
}

// Device-shaped sms.db files with deleted rows on small pages, which the carver finds.
void databaseSeeds(const QString &scratch)
{
    const struct
    {
        CarvableSmsDb::Layout layout;
        const char *name;
    } layouts[] = { { CarvableSmsDb::Ios5, "ios5.db" }, { CarvableSmsDb::Ios6, "ios6.db" },
        { CarvableSmsDb::Later, "later.db" } };
    for (const auto &layout : layouts) {
        const QString folder = QDir(scratch).filePath(QLatin1String(layout.name));
        QString path;
        {
            CarvableSmsDb db(folder, layout.layout, 512);
            qint64 handle = 0;
            if (!db.isIos5()) {
                handle = db.addHandle({ 0, QStringLiteral("+12015550100") });
                const qint64 other = db.addHandle(
                    { 0, QStringLiteral("ann@example.com"), QStringLiteral("iMessage") });
                db.addChat(QStringLiteral("+12015550100"), { handle });
                db.deleteHandles({ other });
            }
            const QList<qint64> rows = db.addMessages(1, 12, 60, handle);
            db.deleteMessages({ rows.at(2), rows.at(3), rows.at(7) });
            path = db.path();
        }
        const QByteArray bytes = fileBytes(path);
        seed("fuzz_deletedrowscan", QLatin1String(layout.name), bytes);
        seed("fuzz_sqlite3file", QLatin1String(layout.name), bytes);
    }
}

void propertyListSeeds()
{
    const QVariantList messages[] = {
        link("DLMessageVersionExchange", { 300, 100 }),
        link("DLMessageProcessMessage",
            { QVariantMap { { "MessageName", "Response" }, { "ErrorCode", 0 } } }),
        link("SDMessageProcessChanges", { "com.apple.Contacts", contactRecords(), false }),
    };
    int n = 0;
    for (const QVariantList &message : messages) {
        ++n;
        seed("fuzz_corefoundation", QStringLiteral("message%1.xml").arg(n),
            SimulatedDeviceFolder::toXmlPlist(message));
        seed("fuzz_corefoundation", QStringLiteral("message%1.bplist").arg(n),
            SimulatedDeviceFolder::toBinaryPlist(message));
    }
    seed("fuzz_corefoundation", "date.bplist", SimulatedDeviceFolder::toBinaryPlist(someDate));
    seed("fuzz_corefoundation", "reply.xml",
        SimulatedDeviceFolder::toXmlPlist(QVariantMap { { "Status", "Acknowledged" } }));
}

QByteArray frame(const QVariant &message, bool binary)
{
    return ServicePeer::frame(binary ? SimulatedDeviceFolder::toBinaryPlist(message)
                                     : SimulatedDeviceFolder::toXmlPlist(message));
}

// A whole exchange with the sync service, in the order the target runs its operations.
void deviceLinkSeeds()
{
    for (const bool binary : { false, true }) {
        const auto f = [binary](const QVariant &message) { return frame(message, binary); };
        const QByteArray session = f(link("DLMessageVersionExchange", { 300, 100 }))
            + f(link("DLMessageDeviceReady")) + f(link("DLMessagePing", { "Preparing" }))
            + f(link("DLMessageProcessMessage", { QVariantMap { { "MessageName", "Ack" } } }))
            + f(link("SDMessageProcessChanges", { "com.apple.Contacts", contactRecords(), true }))
            + f(link("SDMessageDeviceReadyToReceiveChanges", { "com.apple.Contacts" }))
            + f(link("SDMessageRemapRecordIdentifiers",
                { "com.apple.Contacts", QVariantMap { { "1", "101" } } }))
            + f(link("SDMessageDeviceWillClearAllRecords", { "com.apple.Contacts" }))
            + f(link("DLMessageDisconnect", { "bye" }));
        seed("fuzz_devicelink", binary ? "session.bin" : "session.xml", session);
    }
}

// Texts each ending in NUL, as listings and attributes come.
QByteArray texts(const QStringList &items)
{
    QByteArray bytes;
    for (const QString &item : items)
        bytes += item.toUtf8() + '\0';
    return bytes;
}

// Replies in the order the target sends its requests.
void afcSeeds()
{
    using namespace afctest;
    const QByteArray ok = status(0);
    const QByteArray replies = data(texts({ ".", "..", "sms.db" }))
        + data(texts({ "st_size", "8", "st_ifmt", "S_IFREG", "st_mtime", "1400000000000000000" }))
        + packet(AFCOpFileOpenResult, le64(7)) + data("database") + data(QByteArray())
        + ok.repeated(6)
        + ServicePeer::frame(
            SimulatedDeviceFolder::toXmlPlist(QVariantMap { { "Status", "Complete" } }));
    seed("fuzz_afc", "session", replies);
    seed("fuzz_afc", "errors", status(8) + status(1) + packet(AFCOpFileTellResult, le64(1)));
}

// The archive as the file-relay service writes it, in a few formats and filters.
QByteArray archive(
    int format, int filter, const QList<std::function<void(struct archive *)>> &entries)
{
    QByteArray bytes(1 << 20, '\0');
    size_t used = 0;
    struct archive *a = archive_write_new();
    archive_write_set_format(a, format);
    archive_write_add_filter(a, filter);
    // The same seeds on every run: no time in the gzip header.
    archive_write_set_options(a, "gzip:!timestamp");
    archive_write_set_bytes_in_last_block(a, 1);
    archive_write_open_memory(a, bytes.data(), size_t(bytes.size()), &used);
    for (const auto &entry : entries)
        entry(a);
    archive_write_close(a);
    archive_write_free(a);
    bytes.resize(int(used));
    return bytes;
}

std::function<void(struct archive *)> entry(
    const char *name, unsigned int type, const QByteArray &data = {}, const char *target = nullptr)
{
    return [=](struct archive *a) {
        struct archive_entry *e = archive_entry_new();
        archive_entry_set_pathname(e, name);
        archive_entry_set_filetype(e, type);
        archive_entry_set_perm(e, type == AE_IFDIR ? 0755 : 0644);
        archive_entry_set_size(e, type == AE_IFREG ? data.size() : 0);
        archive_entry_set_mtime(e, 1400000000, 0);
        if (target)
            archive_entry_set_symlink(e, target);
        archive_write_header(a, e);
        if (!data.isEmpty())
            archive_write_data(a, data.constData(), size_t(data.size()));
        archive_entry_free(e);
    };
}

void fileRelaySeeds()
{
    const QList<std::function<void(struct archive *)>> tree
        = { entry("./var", AE_IFDIR), entry("./var/mobile/Library/SMS", AE_IFDIR),
              entry("./var/mobile/Library/SMS/sms.db", AE_IFREG, "SQLite format 3"),
              entry("./var/mobile/Library/AddressBook/AddressBook.sqlitedb", AE_IFREG, "book"),
              entry("./var/mobile/Library/SMS/Attachments/a:b?.jpg", AE_IFREG, "jpg") };
    const QList<std::function<void(struct archive *)>> hostile
        = { entry("../../escape", AE_IFREG, "x"), entry("/tmp/absolute", AE_IFREG, "y"),
              entry("./var/link", AE_IFLNK, {}, "/etc"), entry("./var/fifo", AE_IFIFO),
              entry("./var/a/../../../up", AE_IFREG, "z") };
    seed("fuzz_filerelay", "tree.cpio.gz",
        archive(ARCHIVE_FORMAT_CPIO_POSIX, ARCHIVE_FILTER_GZIP, tree));
    seed("fuzz_filerelay", "tree.newc",
        archive(ARCHIVE_FORMAT_CPIO_SVR4_NOCRC, ARCHIVE_FILTER_NONE, tree));
    seed("fuzz_filerelay", "hostile.tar",
        archive(ARCHIVE_FORMAT_TAR_PAX_RESTRICTED, ARCHIVE_FILTER_NONE, hostile));
}

void vcardSeeds()
{
    seed("fuzz_vcard", "v21.vcf",
        "BEGIN:VCARD\r\nVERSION:2.1\r\nN;CHARSET=UTF-8:Doe;Ann\r\n"
        "FN;ENCODING=QUOTED-PRINTABLE;CHARSET=ISO-8859-1:Ann=20D=E9e=\r\n"
        " Smith\r\nTEL;CELL;VOICE:+44 20 7946 0000\r\n"
        "PHOTO;ENCODING=BASE64;TYPE=JPEG:/9j/4AAQSkZJRgAB\r\n AQEASABIAAD=\r\n\r\nEND:VCARD\r\n");
    seed("fuzz_vcard", "v30.vcf",
        "BEGIN:VCARD\nVERSION:3.0\nFN:Bob\n  Folded\nEMAIL;TYPE=INTERNET,HOME:bob@example.com\n"
        "X-A;K=a\\;b\\\\c;L=2:v\nADR;CHARSET=KOI8-R:;;\xf0\xd2\xcf;\nPHOTO;ENCODING=b:QUJD\n"
        "END:VCARD\nBEGIN:VCARD\nFN:Second\nEND:VCARD\n");
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: fuzz_seeds <corpus folder>\n");
        return 2;
    }
    g_corpus = QDir(QString::fromLocal8Bit(argv[1]));
    QTemporaryDir scratch;
    backupSeeds(scratch.path());
    databaseSeeds(scratch.path());
    propertyListSeeds();
    deviceLinkSeeds();
    afcSeeds();
    fileRelaySeeds();
    vcardSeeds();
    return 0;
}
