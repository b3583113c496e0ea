#include "devicesession.h"

#include "mobiledevice.h"
#include "shell/runtimeerror.h"

#include <exception>

namespace {

QString sessionError(const QString &step)
{
    return QStringLiteral("%1<br/><br/>Error code: %2")
        .arg(QStringLiteral("Please restart your iPhone and computer to try again. If a prompt "
                            "message pops out on your iPhone, please click \"Trust\"."),
            step);
}

QString serviceError(const char *service, int code)
{
    return QStringLiteral("Please turn off Wifi Sync on iTunes to try again.<br/>To do this:  "
                          "Launch iTunes -&gt; Connect your device -&gt; Go Summary -&gt; "
                          "Options -&gt; Uncheck Sync with this device over Wi-Fi.<br/><br/>")
        + QStringLiteral("Error code: AMDeviceStartService(%1)=%2")
              .arg(QString::fromLatin1(service))
              .arg(code);
}

// A failing step after the connection: the device must not stay connected.
int failedAfterConnect(AMDeviceRef device, QString &error, const char *step, int code)
{
    MOBILEDEVICE_MD(AMDeviceDisconnect)(device);
    error = sessionError(QStringLiteral("%1(%2)").arg(QLatin1String(step)).arg(code));
    return code;
}

// An open session for the life of one operation, ended however the operation ends.
class Session
{
public:
    explicit Session(AMDeviceRef device)
        : m_device(device)
    {
        QString error;
        if (mobiledevice_connect(device, error) != 0)
            throwRuntimeError(error);
    }
    ~Session()
    {
        try {
            end();
        } catch (const std::exception &) {
        }
    }
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;

    void end()
    {
        if (!m_open)
            return;
        m_open = false;
        mobiledevice_end_session(m_device);
    }

private:
    AMDeviceRef m_device;
    bool m_open = true;
};

} // namespace

int mobiledevice_connect(AMDeviceRef device, QString &error)
{
    int code = MOBILEDEVICE_MD(AMDeviceConnect)(device);
    if (code != 0) {
        error = sessionError(QStringLiteral("AMDeviceConnect(%1)").arg(code));
        return code;
    }
    try {
        if (MOBILEDEVICE_MD(AMDeviceIsPaired)(device) == 0) {
            code = MOBILEDEVICE_MD(AMDevicePair)(device);
            if (code != 0)
                return failedAfterConnect(device, error, "AMDevicePair", code);
        }
        code = MOBILEDEVICE_MD(AMDeviceValidatePairing)(device);
        if (code != 0)
            return failedAfterConnect(device, error, "AMDeviceValidatePairing", code);
        code = MOBILEDEVICE_MD(AMDeviceStartSession)(device);
        if (code != 0)
            return failedAfterConnect(device, error, "AMDeviceStartSession", code);
    } catch (const std::exception &) {
        // A library without one of the steps: leave the device as it was found.
        if (const auto disconnect = reinterpret_cast<decltype(&::AMDeviceDisconnect)>(
                mobiledevice_resolve_md("AMDeviceDisconnect")))
            disconnect(device);
        throw;
    }
    return 0;
}

void mobiledevice_end_session(AMDeviceRef device)
{
    MOBILEDEVICE_MD(AMDeviceStopSession)(device);
    MOBILEDEVICE_MD(AMDeviceDisconnect)(device);
}

QList<CFType> mobiledevice_copy_values(
    AMDeviceRef device, const QStringList &keys, const QString &domain)
{
    Session session(device);
    QList<CFType> values;
    const auto copyValue = MOBILEDEVICE_MD(AMDeviceCopyValue);
    for (const QString &key : keys) {
        const CFType domainString = domain.isEmpty() ? CFType() : CFType::fromString(domain);
        const CFType keyString = key.isEmpty() ? CFType() : CFType::fromString(key);
        values.append(CFType(copyValue(device, static_cast<CFStringRef>(domainString.ref()),
                                 static_cast<CFStringRef>(keyString.ref())),
            true));
    }
    session.end();
    return values;
}

void mobiledevice_start_service(AMDeviceRef device, const char *service, int &socket)
{
    Session session(device);
    int code = 0;
    {
        const CFType name = CFType::fromString(QString::fromLatin1(service));
        code = MOBILEDEVICE_MD(AMDeviceStartService)(
            device, static_cast<CFStringRef>(name.ref()), &socket, nullptr);
    }
    // The socket outlives the session.
    session.end();
    if (code != 0)
        throwRuntimeError(serviceError(service, code));
}

int mobiledevice_set_value(
    AMDeviceRef device, const QString &domain, const QString &key, const CFType &value)
{
    Session session(device);
    int code = 0;
    {
        const CFType domainString = CFType::fromString(domain);
        const CFType keyString = CFType::fromString(key);
        code = MOBILEDEVICE_MD(AMDeviceSetValue)(device,
            static_cast<CFStringRef>(domainString.ref()), static_cast<CFStringRef>(keyString.ref()),
            value.ref());
    }
    session.end();
    return code;
}

QString mobiledevice_copy_device_identifier(AMDeviceRef device)
{
    Session session(device);
    QString identifier;
    {
        const CFType value(MOBILEDEVICE_MD(AMDeviceCopyDeviceIdentifier)(device), true);
        identifier = value.toString();
    }
    session.end();
    return identifier;
}

bool mobiledevice_device_gone(AMDeviceRef device)
{
    try {
        const int code = MOBILEDEVICE_MD(AMDeviceConnect)(device);
        if (code == 0)
            MOBILEDEVICE_MD(AMDeviceDisconnect)(device);
        return code == kQMDErrorDeviceRemoved;
    } catch (const std::exception &) {
        return false;
    }
}

QString mobiledevice_disconnected_text()
{
    return QStringLiteral("The iPhone was disconnected.");
}
