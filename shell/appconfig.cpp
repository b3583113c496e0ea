#include "appconfig.h"

#ifndef QM_WEB_HOST
#define QM_WEB_HOST ""
#endif

namespace {

QString &webHostValue()
{
    static QString value = QStringLiteral(QM_WEB_HOST).trimmed();
    return value;
}

// Splits "host:port"; a missing or unusable port means the whole text is the host.
void splitHost(const QString &hostAndPort, QString *host, quint16 *port)
{
    *host = hostAndPort;
    *port = 80;
    const int colon = hostAndPort.lastIndexOf(QLatin1Char(':'));
    if (colon < 0)
        return;
    bool ok = false;
    const uint value = hostAndPort.mid(colon + 1).toUInt(&ok);
    if (!ok || value == 0 || value > 65535)
        return;
    *host = hostAndPort.left(colon);
    *port = quint16(value);
}

} // namespace

QString AppConfig::webHost()
{
    return webHostValue();
}

void AppConfig::setWebHost(const QString &hostAndPort)
{
    webHostValue() = hostAndPort.trimmed();
}

QString AppConfig::webHostName()
{
    QString host;
    quint16 port;
    splitHost(webHostValue(), &host, &port);
    return host;
}

quint16 AppConfig::webHostPort()
{
    QString host;
    quint16 port;
    splitHost(webHostValue(), &host, &port);
    return port;
}

QString AppConfig::supportEmail()
{
    return QStringLiteral("support@quillmarrow.example");
}

QString AppConfig::helpHost()
{
    return webHost();
}

QString AppConfig::helpUrl(const QString &path)
{
    const QString host = helpHost();
    return host.isEmpty() ? QString() : QStringLiteral("http://") + host + path;
}

QString AppConfig::productId()
{
    return QStringLiteral("5D0E7A93C1B84F26A07D3E95B2C16F48");
}

QString AppConfig::productVersion()
{
    return QStringLiteral("3.2.11");
}

int AppConfig::buildNumber()
{
    return 31;
}
