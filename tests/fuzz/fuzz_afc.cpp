// Plays arbitrary bytes as the device's file service (AFC packets) to every operation of the
// program's client of it, and as house_arrest's answer.
#include "fuzzsupport.h"

#include "device/afcfileinfo.h"
#include "device/afcprotocol.h"

#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const fuzz::DeviceEnd device(QByteArray(reinterpret_cast<const char *>(data), int(size)));
    const int socket = device.programSocket();
    const QString path = QStringLiteral("/var/mobile/Library/SMS/sms.db");
    fuzz::attempt([&] { afc_read_directory(socket, QStringLiteral("/")); });
    fuzz::attempt([&] {
        AFCFileInfo info(path);
        info.fill(afc_get_file_info(socket, path));
        info.isFile();
    });
    quint64 handle = 0;
    fuzz::attempt([&] { handle = afc_file_open(socket, path, AFCOpenForReading); });
    fuzz::attempt([&] {
        // More than one chunk, so that a reply may overrun a later part of the buffer.
        std::vector<char> buffer(afc_read_chunk + 100);
        afc_file_read(socket, handle, buffer.data(), int(buffer.size()));
    });
    fuzz::attempt([&] { afc_file_lock(socket, handle, 2); });
    fuzz::attempt([&] { afc_file_write(socket, handle, "written", 7); });
    fuzz::attempt([&] { afc_file_close(socket, handle); });
    fuzz::attempt([&] { afc_remove_path(socket, path); });
    fuzz::attempt([&] { afc_make_directory(socket, QStringLiteral("/Downloads")); });
    fuzz::attempt([&] { afc_rename_path(socket, path, path + QStringLiteral(".old")); });
    fuzz::attempt([&] { house_arrest_vend_container(socket, QStringLiteral("com.example.app")); });
    return 0;
}
