// Writes the messages of one chat as an XHTML page of speech bubbles, the markup of the
// bubble view, with attachment files and previews copied into the "files" folder beside it.
// A text attachment that the page shows cut is copied there whole and linked under the cut.
#pragma once

#include "operations/absformatexport.h"
#include "operations/createdpaths.h"
#include "operations/exporttextfile.h"
#include "operations/localtimecache.h"
#include "records/msgrecords.h"

#include <QDir>
#include <QSet>

class ExportMessagesHtml : public AbsFormatExport<_MsgMessage>
{
public:
    // The page `fileName` in `folder`; the page, once complete, and the files copied into
    // "files" are recorded in `created` (the export run's list) when given.
    ExportMessagesHtml(
        const QDir &folder, const QString &fileName, CreatedPaths *created = nullptr);

    void begin() override;
    void write(_MsgMessage *message) override;
    // Ends the page and copies the pictures of the emoji it shows from the program's
    // "emoji" folder into the one beside the page, keeping what is there already.
    void end() override;

    // Copies a file into "files" under a cleaned name no other file there has; the new
    // name, or empty when the source cannot be read. Throws when the copy cannot be written.
    QString copyToFiles(const QString &sourcePath);

    // Copies the program's style sheet, the pictures it names and the other files of its
    // "bubble" folder into "files" of `folder`, keeping what is there already. Throws, naming
    // the file, when one the pages name is neither there nor can be copied.
    static void copyPageStyle(const QDir &folder, CreatedPaths &created);

private:
    void noteEmoji(const QString &html);
    void copyEmoji();
    QString attachmentContent(const _MsgAttachment &attachment);
    // "files/" and the name, percent-encoded for an attribute; `missing` when name is empty.
    static QString filesLink(const QString &name, const QString &missing);

    qint64 lastDateLineTime = 0;
    QDir folder;
    QDir filesDir;
    ExportTextFile page;
    LocalTimeCache times;
    CreatedPaths ownList;
    CreatedPaths *created;
    QSet<QString> emoji; // picture names the page refers to
};
