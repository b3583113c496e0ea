// Plays arbitrary bytes as a device-link service (the sync service and the link's own
// messages) to the program's clients of it, and reads every value they hand back.
#include "fuzzsupport.h"

#include "device/devicelink.h"
#include "device/mobilesync.h"

#include <cstdlib>

namespace {

const QString contacts = QStringLiteral("com.apple.Contacts");

void visit(const CFType &value, int depth)
{
    if (depth > 300)
        abort();
    value.toText();
    value.toDateTime(QStringLiteral("Europe/Paris"));
    for (const CFType &key : value.keys()) {
        visit(key, depth + 1);
        visit(value.value(key), depth + 1);
    }
    for (int i = 0; i < value.arrayCount(); ++i)
        visit(value.at(i), depth + 1);
}

CFType dictionary(const QString &key, const CFType &value)
{
    CFType result = CFType::newDictionary();
    result.setValue(CFType::fromString(key), value);
    return result;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const fuzz::DeviceEnd device(QByteArray(reinterpret_cast<const char *>(data), int(size)));
    const int socket = device.programSocket();
    fuzz::attempt([&] { mobiledevice_link_version_exchange(socket); });
    fuzz::attempt([&] {
        CFType message;
        QString name;
        mobiledevice_link_sc_recv_dlmessaeg(socket, message, name, CFType());
        visit(message, 0);
    });
    fuzz::attempt([&] {
        CFType message;
        visit(mobiledevice_link_sc_recv_process_message(socket, CFType(), &message), 0);
        visit(message, 0);
    });
    fuzz::attempt([&] {
        for (const CFType &batch : mobilesync_get_all_records(socket, contacts))
            visit(batch, 0);
    });
    fuzz::attempt([&] {
        const CFType records = dictionary(QStringLiteral("1"),
            dictionary(QStringLiteral("first name"), CFType::fromString(QStringLiteral("A"))));
        const CFType actions
            = dictionary(QStringLiteral("SyncDeviceLinkEntityNamesKey"), CFType::newArray());
        visit(mobilesync_send_changes(socket, records, contacts, actions), 0);
    });
    fuzz::attempt([&] { mobilesync_clear_all_records(socket, contacts); });
    fuzz::attempt([&] { mobilesync_finish_session(socket, contacts); });
    return 0;
}
