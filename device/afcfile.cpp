#include "afcfile.h"

#include "afcprotocol.h"

#include <stdexcept>

AFCFile::~AFCFile()
{
    close();
}

int AFCFile::socket() const
{
    return m_connection ? *m_connection : -1;
}

void AFCFile::close()
{
    if (m_handle == 0)
        return;
    const quint64 handle = m_handle;
    m_handle = 0;
    // With the connection gone the device has closed its handles already.
    if (socket() < 0)
        return;
    try {
        afc_file_close(socket(), handle);
    } catch (const std::exception &) {
    }
}

int AFCFile::read(char *buffer, int length)
{
    if (m_handle == 0 || socket() < 0 || !buffer)
        return -1;
    try {
        return afc_file_read(socket(), m_handle, buffer, length);
    } catch (const std::exception &) {
        return -1;
    }
}

int AFCFile::write(const char *data, int length)
{
    if (m_handle == 0 || socket() < 0 || !data)
        return -1;
    try {
        return afc_file_write(socket(), m_handle, data, length);
    } catch (const std::exception &) {
        return -1;
    }
}
