#include "records/relaypath.h"

#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <cerrno>

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

QString relayFilePath(
    const QDir &fileRelayDir, const QString &deviceFilename, RelayBackslash backslash)
{
    return RelayPathResolver(fileRelayDir, backslash).path(deviceFilename);
}

RelayPathResolver::RelayPathResolver(const QDir &fileRelayDir, RelayBackslash backslash)
    : m_backslash(backslash)
    , m_root(QDir::cleanPath(fileRelayDir.absolutePath()))
    , m_canonicalRoot(QFileInfo(m_root).canonicalFilePath())
    , m_rootFd(::open(QFile::encodeName(m_root).constData(), O_PATH | O_DIRECTORY | O_CLOEXEC))
{
}

RelayPathResolver::~RelayPathResolver()
{
    if (m_rootFd >= 0)
        ::close(m_rootFd);
}

bool RelayPathResolver::isSymLink(const QString &path) const
{
    // From the tree's folder, so that the walk covers only the names below it: a load asks
    // this of every attachment's file and folder.
    struct stat st;
    const int found = m_rootFd >= 0
        ? ::fstatat(m_rootFd, QFile::encodeName(path.mid(m_root.length() + 1)).constData(), &st,
            AT_SYMLINK_NOFOLLOW)
        : ::lstat(QFile::encodeName(path).constData(), &st);
    return found == 0 && S_ISLNK(st.st_mode);
}

QString RelayPathResolver::path(const QString &deviceFilename)
{
    QString relative = deviceFilename;
    if (relative.startsWith(QLatin1Char('/')))
        relative.remove(0, 1);
    if (relative.startsWith(QLatin1String("~/")))
        relative.replace(0, 2, QStringLiteral("var/mobile/"));
    for (const QChar ch : QStringLiteral(":*?\"<>|"))
        relative.remove(ch);
    if (m_backslash == RelayBackslash::Remove)
        relative.remove(QLatin1Char('\\'));
    if (relative.isEmpty())
        return QString();

    const QString path = QDir::cleanPath(m_root + QLatin1Char('/') + relative);
    if (!path.startsWith(m_root + QLatin1Char('/')))
        return QString();
    // Without the tree nothing can point elsewhere.
    if (m_canonicalRoot.isEmpty())
        return path;
    return staysInside(path) ? path : QString();
}

bool RelayPathResolver::resolvesBeneath(const QString &path)
{
    if (m_rootFd < 0 || !m_beneathWorks)
        return false;
    open_how how = {};
    how.flags = O_PATH | O_CLOEXEC;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    const QByteArray relative = QFile::encodeName(path.mid(m_root.length() + 1));
    const long fd = ::syscall(SYS_openat2, m_rootFd, relative.constData(), &how, sizeof how);
    if (fd >= 0) {
        ::close(int(fd));
        return true;
    }
    // A kernel or sandbox without the call: the walk answers every time.
    if (errno == ENOSYS || errno == EPERM)
        m_beneathWorks = false;
    return false;
}

bool RelayPathResolver::staysInside(const QString &path)
{
    // One look-up that resolves the whole way from the tree's folder and fails at any step out
    // of it settles most names; what it cannot (a missing entry, a link by absolute path) the
    // walk up from the entry decides.
    if (resolvesBeneath(path))
        return true;
    // An entry that is no link lies where its folder really lies, whether it exists or not:
    // only the nearest link on the way up to the tree decides.
    QStringList unseen;
    bool inside = true;
    for (QString probe = path; probe.length() > m_root.length();
         probe.truncate(probe.lastIndexOf(QLatin1Char('/')))) {
        if (probe.length() != path.length()) {
            const auto known = m_folderInside.constFind(probe);
            if (known != m_folderInside.constEnd()) {
                inside = known.value();
                break;
            }
            unseen.append(probe);
        }
        if (isSymLink(probe)) {
            const QString canonical = QFileInfo(probe).canonicalFilePath();
            inside = !canonical.isEmpty()
                && (canonical == m_canonicalRoot
                    || canonical.startsWith(m_canonicalRoot + QLatin1Char('/')));
            break;
        }
    }
    for (const QString &folder : qAsConst(unseen))
        m_folderInside.insert(folder, inside);
    return inside;
}
