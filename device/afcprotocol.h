// The device's binary file protocol (AFC) on a service socket: the 40-byte packet header,
// one request and its reply at a time, and one function per operation. Every function
// throws std::runtime_error on failure; the connection is then out of step.
#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>

#include <cstdint>

enum AFCOperation : quint64 {
    AFCOpStatus = 1,
    AFCOpData = 2,
    AFCOpReadDirectory = 3,
    AFCOpRemovePath = 8,
    AFCOpMakeDirectory = 9,
    AFCOpGetFileInfo = 10,
    AFCOpFileOpen = 13,
    AFCOpFileOpenResult = 14,
    AFCOpFileRead = 15,
    AFCOpFileWrite = 16,
    AFCOpFileTellResult = 19,
    AFCOpFileClose = 20,
    AFCOpRenamePath = 24,
    AFCOpFileLock = 27,
};

enum AFCOpenMode : quint64 { AFCOpenForReading = 1, AFCOpenForWriting = 3 };

// Every field little-endian on the wire.
struct AFCPacketHeader
{
    static constexpr int size = 40;
    static const char magicBytes[9];

    AFCPacketHeader(quint64 packetNumber = 0, quint64 operation = 0);

    QByteArray toBytes() const;
    static AFCPacketHeader fromBytes(const char *bytes);
    bool hasMagic() const;

    char magic[8];
    quint64 entireLength;
    quint64 thisLength;
    quint64 packetNumber;
    quint64 operation;
};

// Not a counter: every request carries the connection's socket handle, sign-extended.
quint64 afc_packet_number(int socket);

// Replies above this many data bytes are refused before anything of them is read.
constexpr quint64 afc_max_reply_data = 16 * 1024 * 1024;
constexpr int afc_read_chunk = 65536;
constexpr int afc_write_chunk = 32768;

void afc_send_packet(int socket, const AFCPacketHeader &header, const char *payload, int length);
// One reply's data. With `status` given, a status reply's value is stored there unjudged;
// otherwise a non-zero status throws.
QByteArray afc_read_packet(int socket, AFCPacketHeader &header, quint32 *status = nullptr);

quint64 afc_file_open(int socket, const QString &path, quint64 mode);
void afc_file_close(int socket, quint64 handle);
// Never more than `length` bytes reach the buffer; a reply longer than asked throws.
int afc_file_read(int socket, quint64 handle, char *buffer, int length);
int afc_file_write(int socket, quint64 handle, const char *data, int length);
quint32 afc_file_lock(int socket, quint64 handle, quint32 operation);
void afc_remove_path(int socket, const QString &path);
void afc_make_directory(int socket, const QString &path);
void afc_rename_path(int socket, const QString &from, const QString &to);
QStringList afc_read_directory(int socket, const QString &path);
QMap<QString, QString> afc_get_file_info(int socket, const QString &path);

// Asks house_arrest for an application's container; the socket then speaks AFC inside it.
void house_arrest_vend_container(int socket, const QString &identifier);
