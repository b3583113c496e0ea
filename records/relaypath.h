// Where a file named by a device database lives inside a copied "file-relay" tree.
#pragma once

#include <QDir>
#include <QHash>
#include <QString>

// Maps a device path such as "~/Library/SMS/Attachments/ab/01/x.jpg" or "/var/mobile/..."
// to its place under `fileRelayDir`. The name is untrusted: a path that would leave the
// tree (through "..", or through a symbolic link inside it) gives an empty text.
// The characters : * ? " < > | are dropped from the name; the iOS 6+ layout keeps a
// backslash, the iOS 5 one drops it too.
enum class RelayBackslash { Keep, Remove };
QString relayFilePath(
    const QDir &fileRelayDir, const QString &deviceFilename, RelayBackslash backslash);

// relayFilePath for many names of one tree, as a load of attachments needs: the tree's
// real path is looked up once and each folder's verdict is remembered, so a name costs a
// look-up of its own entry and of folders not seen before. Links made in the tree after
// its folders were seen go unnoticed: keep one only for the length of a load.
class RelayPathResolver
{
public:
    RelayPathResolver(const QDir &fileRelayDir, RelayBackslash backslash);
    ~RelayPathResolver();
    RelayPathResolver(const RelayPathResolver &) = delete;
    RelayPathResolver &operator=(const RelayPathResolver &) = delete;

    QString path(const QString &deviceFilename);

private:
    // True when the deepest entry of the path that exists resolves inside the tree.
    bool staysInside(const QString &path);
    // True for a symbolic link; `path` lies below the tree's folder.
    bool isSymLink(const QString &path) const;
    // True when the entry exists and resolves, links followed, without leaving the tree.
    bool resolvesBeneath(const QString &path);

    RelayBackslash m_backslash;
    QString m_root;
    QString m_canonicalRoot;
    QHash<QString, bool> m_folderInside;
    int m_rootFd; // the tree's folder, -1 where it cannot be opened
    bool m_beneathWorks = true;
};
