// The program's configuration values: the maker's web host, the support address and the
// host of the help pages, with the product's identity. The only place they are set.
#pragma once

#include <QString>

class AppConfig
{
public:
    // "host" or "host:port"; empty means nothing is ever sent to the maker.
    static QString webHost();
    // Replaces the web host for the rest of the run (tests point it at a local server).
    static void setWebHost(const QString &hostAndPort);
    static QString webHostName();
    // The port of webHost(), 80 when none is given.
    static quint16 webHostPort();

    static QString supportEmail();
    // The host of the help pages: the web host; empty when none is configured.
    static QString helpHost();
    // "http://" + helpHost() + path; empty without a help host, so that nothing points at a
    // host that was never configured: links then show their words only, commands open
    // nothing.
    static QString helpUrl(const QString &path);

    static QString productId();
    static QString productVersion();
    static int buildNumber();
};
