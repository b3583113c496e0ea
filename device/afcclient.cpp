#include "afcclient.h"

#include "afcfile.h"
#include "afcprotocol.h"
#include "devicesession.h"
#include "servicesocket.h"

#include <stdexcept>

namespace {

// Runs a request that throws; true when it did not.
template <typename Request> bool succeeds(Request request)
{
    try {
        request();
        return true;
    } catch (const std::exception &) {
        return false;
    }
}

} // namespace

AFCClient::AFCClient(AMDeviceRef device)
    : m_device(device)
    , m_socket(new int(-1))
{
}

AFCClient::~AFCClient()
{
    close();
}

void AFCClient::connect(const QString &applicationIdentifier)
{
    close();
    const bool container = !applicationIdentifier.isEmpty();
    int socket = -1;
    mobiledevice_start_service(
        m_device, container ? "com.apple.mobile.house_arrest" : "com.apple.afc", socket);
    *m_socket = socket;
    if (container)
        house_arrest_vend_container(socket, applicationIdentifier);
}

void AFCClient::close()
{
    if (*m_socket < 0)
        return;
    mobiledevice_close_socket(*m_socket);
    *m_socket = -1;
    // Files of the closed connection keep the old value; a new connection gets a new one.
    m_socket.reset(new int(-1));
}

bool AFCClient::makeDirectory(const QString &path)
{
    return succeeds([&] { afc_make_directory(socket(), path); });
}

bool AFCClient::removePath(const QString &path)
{
    return succeeds([&] { afc_remove_path(socket(), path); });
}

bool AFCClient::renamePath(const QString &from, const QString &to)
{
    return succeeds([&] { afc_rename_path(socket(), from, to); });
}

bool AFCClient::openFile(const QString &path, quint64 mode, AFCFile &file)
{
    file.close();
    quint64 handle = 0;
    if (!succeeds([&] { handle = afc_file_open(socket(), path, mode); }) || handle == 0)
        return false;
    file.m_connection = m_socket;
    file.m_handle = handle;
    return true;
}

bool AFCClient::openFileForReading(const QString &path, AFCFile &file)
{
    return openFile(path, AFCOpenForReading, file);
}

bool AFCClient::openFileForWriting(const QString &path, AFCFile &file)
{
    return openFile(path, AFCOpenForWriting, file);
}

AFCFileInfo AFCClient::fileInfo(const QString &path)
{
    AFCFileInfo info(path);
    QMap<QString, QString> attributes;
    if (!succeeds([&] { attributes = afc_get_file_info(socket(), path); }))
        return AFCFileInfo();
    info.fill(attributes);
    return info;
}

QList<AFCFileInfo> AFCClient::entryInfoList(const QString &path)
{
    QStringList names;
    if (!succeeds([&] { names = afc_read_directory(socket(), path); }))
        return {};
    const QString folder = path.endsWith(QLatin1Char('/')) ? path : path + QLatin1Char('/');
    QList<AFCFileInfo> entries;
    for (const QString &name : names) {
        if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String(".."))
            continue;
        const AFCFileInfo info = fileInfo(folder + name);
        if (info.isFile() || info.isDir())
            entries << info;
    }
    return entries;
}
