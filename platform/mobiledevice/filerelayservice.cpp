// The device's file-relay service: one request naming sources, an acknowledgement, then a
// gzip-compressed cpio archive of the sources' folders as a raw stream, and the connection
// closes. "UserDatabases" is the message and address-book folders. The acknowledgement
// takes the faults of "Replies" (see replyfault.h).
//
// The device's faults file may hold a "FileRelay" dictionary that makes the phone misbehave:
//   "Error"       answers {"Error": text} instead of the acknowledgement and sends nothing
//   "Status"      the "Status" text answered instead of "Acknowledged"
//   "CutAfter"    closes the connection after this many bytes of the archive
//   "StallAfter"  stops sending after this many bytes and keeps the connection open
//   "Entries"     further entries written after the folders, each a dictionary of "Name",
//                 "Type" (file, folder, symlink, hardlink, fifo, socket, chardev, blockdev),
//                 "Target" for links and "Data" for files
//   "Format"      the archive in a form no phone sends: "tar" or "zip", or "cpio" without
//                 compression
#include "replyfault.h"
#include "serviceconnection.h"
#include "serviceregistry.h"
#include "simulateddevice.h"

#include <QDateTime>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#include <archive.h>
#include <archive_entry.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <vector>

namespace {

const char userDatabases[] = "UserDatabases";
const char *const userDatabaseFolders[]
    = { "var/mobile/Library/SMS", "var/mobile/Library/AddressBook" };

struct StreamState
{
    ServiceConnection *connection;
    long long sent = 0;
    long long cutAfter = -1;
    long long stallAfter = -1;
    bool stalled = false;
};

la_ssize_t writeToPeer(struct archive *, void *context, const void *buffer, size_t length)
{
    auto *state = static_cast<StreamState *>(context);
    if (state->stalled)
        return -1;
    size_t allowed = length;
    long long limit = -1;
    if (state->cutAfter >= 0)
        limit = state->cutAfter;
    if (state->stallAfter >= 0 && (limit < 0 || state->stallAfter < limit))
        limit = state->stallAfter;
    if (limit >= 0 && state->sent + static_cast<long long>(length) > limit)
        allowed = static_cast<size_t>(std::max(0LL, limit - state->sent));
    if (allowed > 0 && !state->connection->sendAll(buffer, allowed))
        return -1;
    state->sent += static_cast<long long>(allowed);
    if (allowed < length) {
        if (state->stallAfter >= 0 && state->sent >= state->stallAfter) {
            state->stalled = true;
            // Silent until the program gives up or the phone goes.
            state->connection->log("stalled");
            state->connection->holdOpen(0);
        }
        return -1;
    }
    return static_cast<la_ssize_t>(length);
}

using ArchivePtr = std::unique_ptr<struct archive, decltype(&archive_write_free)>;
using EntryPtr = std::unique_ptr<struct archive_entry, decltype(&archive_entry_free)>;

EntryPtr newEntry(const std::string &name, unsigned int type, unsigned int permissions)
{
    EntryPtr entry(archive_entry_new(), &archive_entry_free);
    archive_entry_set_pathname(entry.get(), name.c_str());
    archive_entry_set_filetype(entry.get(), type);
    archive_entry_set_perm(entry.get(), permissions);
    archive_entry_set_size(entry.get(), 0);
    return entry;
}

bool writeHeader(struct archive *a, struct archive_entry *entry)
{
    return archive_write_header(a, entry) >= ARCHIVE_WARN;
}

bool writeFolder(struct archive *a, const std::string &name, const QFileInfo &info)
{
    EntryPtr entry = newEntry(name, AE_IFDIR, 0755);
    archive_entry_set_mtime(entry.get(), info.lastModified().toSecsSinceEpoch(), 0);
    return writeHeader(a, entry.get());
}

bool writeFile(struct archive *a, const std::string &name, const QFileInfo &info)
{
    QFile file(info.absoluteFilePath());
    if (!file.open(QIODevice::ReadOnly))
        return true; // a file the phone cannot read is left out
    EntryPtr entry = newEntry(name, AE_IFREG, 0644);
    archive_entry_set_size(entry.get(), file.size());
    archive_entry_set_mtime(entry.get(), info.lastModified().toSecsSinceEpoch(), 0);
    archive_entry_set_atime(entry.get(), info.lastRead().toSecsSinceEpoch(), 0);
    if (!writeHeader(a, entry.get()))
        return false;
    std::vector<char> buffer(256 * 1024);
    for (;;) {
        const qint64 read = file.read(buffer.data(), static_cast<qint64>(buffer.size()));
        if (read <= 0)
            break;
        if (archive_write_data(a, buffer.data(), static_cast<size_t>(read)) < 0)
            return false;
    }
    return true;
}

bool writeLink(struct archive *a, const std::string &name, const QFileInfo &info)
{
    EntryPtr entry = newEntry(name, AE_IFLNK, 0755);
    archive_entry_set_symlink(entry.get(), QFile::encodeName(info.symLinkTarget()).constData());
    return writeHeader(a, entry.get());
}

// The folder and everything in it, with the folders above it first; names begin with "./".
bool writeTree(struct archive *a, const QString &root, const std::string &relative)
{
    const QString top = root + QLatin1Char('/') + QString::fromStdString(relative);
    if (!QFileInfo(top).isDir())
        return true;
    std::string parent;
    for (const QString &part : QString::fromStdString(relative).split(QLatin1Char('/'))) {
        parent += (parent.empty() ? "" : "/") + part.toStdString();
        if (!writeFolder(a, "./" + parent,
                QFileInfo(root + QLatin1Char('/') + QString::fromStdString(parent))))
            return false;
    }
    QDirIterator it(top, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
        QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        const QFileInfo info = it.fileInfo();
        const std::string name
            = "./" + QFile::encodeName(QDir(root).relativeFilePath(info.filePath())).toStdString();
        bool ok = true;
        if (info.isSymLink())
            ok = writeLink(a, name, info);
        else if (info.isDir())
            ok = writeFolder(a, name, info);
        else if (info.isFile())
            ok = writeFile(a, name, info);
        if (!ok)
            return false;
    }
    return true;
}

unsigned int entryType(const std::string &type)
{
    if (type == "folder")
        return AE_IFDIR;
    if (type == "symlink")
        return AE_IFLNK;
    if (type == "fifo")
        return AE_IFIFO;
    if (type == "socket")
        return AE_IFSOCK;
    if (type == "chardev")
        return AE_IFCHR;
    if (type == "blockdev")
        return AE_IFBLK;
    return AE_IFREG;
}

std::string dataItem(plist_t dict, const char *key)
{
    plist_t node = plist_dict_get_item(dict, key);
    if (!PlistNode::isType(node, PLIST_DATA))
        return PlistNode::textOf(node);
    char *bytes = nullptr;
    uint64_t length = 0;
    plist_get_data_val(node, &bytes, &length);
    std::string result(bytes ? bytes : "", static_cast<size_t>(length));
    free(bytes);
    return result;
}

bool writeExtraEntries(struct archive *a, plist_t entries)
{
    if (!PlistNode::isType(entries, PLIST_ARRAY))
        return true;
    for (uint32_t i = 0; i < plist_array_get_size(entries); ++i) {
        plist_t item = plist_array_get_item(entries, i);
        if (!PlistNode::isType(item, PLIST_DICT))
            continue;
        const std::string type = dataItem(item, "Type");
        const std::string data = dataItem(item, "Data");
        EntryPtr entry = newEntry(dataItem(item, "Name"), entryType(type), 0644);
        if (type == "symlink")
            archive_entry_set_symlink(entry.get(), dataItem(item, "Target").c_str());
        if (type == "hardlink")
            archive_entry_set_hardlink(entry.get(), dataItem(item, "Target").c_str());
        if (type == "chardev" || type == "blockdev")
            archive_entry_set_rdev(entry.get(), 0x0103);
        const bool hasData = entryType(type) == AE_IFREG && type != "hardlink";
        archive_entry_set_size(entry.get(), hasData ? static_cast<la_int64_t>(data.size()) : 0);
        if (!writeHeader(a, entry.get()))
            return false;
        if (hasData && !data.empty() && archive_write_data(a, data.data(), data.size()) < 0)
            return false;
    }
    return true;
}

long long limitOf(const PlistNode &faults, const char *key)
{
    bool found = false;
    const long long value = faults.integerItem(key, &found);
    return found ? value : -1;
}

void sendArchive(ServiceConnection &connection, const PlistNode &faults)
{
    StreamState state;
    state.connection = &connection;
    state.cutAfter = limitOf(faults, "CutAfter");
    state.stallAfter = limitOf(faults, "StallAfter");

    ArchivePtr a(archive_write_new(), &archive_write_free);
    const std::string format = faults.stringItem("Format");
    if (format != "cpio" && format != "zip") {
        archive_write_add_filter_gzip(a.get());
        // A phone spends little on compressing what is mostly pictures.
        archive_write_set_filter_option(a.get(), "gzip", "compression-level", "1");
    }
    if (format == "tar")
        archive_write_set_format_pax_restricted(a.get());
    else if (format == "zip")
        archive_write_set_format_zip(a.get());
    else
        archive_write_set_format_cpio_newc(a.get());
    archive_write_set_bytes_per_block(a.get(), 256 * 1024);
    archive_write_set_bytes_in_last_block(a.get(), 1);
    if (archive_write_open(a.get(), &state, nullptr, &writeToPeer, nullptr) != ARCHIVE_OK) {
        connection.log("cannot start the archive");
        return;
    }
    const QString root
        = QFile::decodeName(QByteArray::fromStdString(connection.device().fileSystemRoot()));
    bool ok = true;
    for (const char *folder : userDatabaseFolders)
        ok = ok && writeTree(a.get(), root, folder);
    ok = ok && writeExtraEntries(a.get(), faults.item("Entries"));
    // Unplugged meanwhile (its folder taken away), a phone cannot end its archive: it never
    // sends a whole tree that is missing files.
    if (ok
        && !QFileInfo::exists(
            QFile::decodeName(QByteArray::fromStdString(connection.device().folder())))) {
        connection.log("unplugged while sending");
        // Nothing more goes out, so freeing the archive cannot end it either.
        state.cutAfter = state.sent;
        ok = false;
    }
    if (ok && archive_write_close(a.get()) != ARCHIVE_OK)
        ok = false;
    const char *why = archive_error_string(a.get());
    connection.log((ok ? "sent " : "stopped after ") + std::to_string(state.sent) + " bytes"
        + (ok || !why ? "" : std::string(": ") + why));
}

bool asksForUserDatabases(const PlistNode &request)
{
    plist_t sources = request.item("Sources");
    if (!PlistNode::isType(sources, PLIST_ARRAY) || plist_array_get_size(sources) == 0)
        return false;
    for (uint32_t i = 0; i < plist_array_get_size(sources); ++i) {
        if (PlistNode::textOf(plist_array_get_item(sources, i)) != userDatabases)
            return false;
    }
    return true;
}

void runFileRelay(ServiceConnection &connection)
{
    bool closed = false;
    const PlistNode request = connection.receiveMessage(&closed);
    if (!request.isDict()) {
        connection.log("no request");
        return;
    }
    if (!asksForUserDatabases(request)) {
        connection.sendMessage(PlistNode::textDictionary("Error", "InvalidSource"), false);
        return;
    }
    const PlistNode faults = connection.device().faults().dictItem("FileRelay");
    const std::string error = faults.stringItem("Error");
    if (!error.empty()) {
        connection.sendMessage(PlistNode::textDictionary("Error", error), false);
        return;
    }
    ReplyFault reply(connection);
    if (!ReplyFault::sendMessage(connection,
            PlistNode::textDictionary("Status", faults.stringItem("Status", "Acknowledged")), false,
            reply.next()))
        return;
    sendArchive(connection, faults);
}

const ServiceRegistration registration("com.apple.mobile.file_relay", &runFileRelay);

} // namespace
