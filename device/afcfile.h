// A file open on the device through an AFCClient's connection. Failures are results, not
// exceptions; once its connection is closed the file sends nothing more.
#pragma once

#include <QSharedPointer>

class AFCFile
{
public:
    AFCFile() = default;
    ~AFCFile();
    AFCFile(const AFCFile &) = delete;
    AFCFile &operator=(const AFCFile &) = delete;

    bool isOpen() const { return m_handle != 0; }
    quint64 handle() const { return m_handle; }

    // Closes the handle on the device, ignoring failures; a closed handle is never used again.
    void close();
    // Bytes read or written; -1 on failure or when not open.
    int read(char *buffer, int length);
    int write(const char *data, int length);

private:
    friend class AFCClient;
    // The socket of the connection, shared with its client (-1 once the client closed it).
    int socket() const;

    QSharedPointer<int> m_connection;
    quint64 m_handle = 0;
};
