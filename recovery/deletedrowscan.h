// The two passes over a message database's raw file that find rows deleted from one of its
// tables (cells of free pages, then the free space of free pages and of the table's leaves)
// and store them in the recycle store. Subclasses say how rows are tested, converted, told
// apart from live rows and stored.
#pragma once

#include "records/absdb.h"
#include "recovery/messagerecycledb.h"
#include "recovery/sqlite3file.h"

#include <QList>
#include <QString>
#include <QVector>

class ProgressForm;

class DeletedRowScan
{
public:
    enum Pass { FreePages, FreeSpace };

    DeletedRowScan(AbsIOSMessageDb &live, MessageRecycleDb &store, ProgressForm *form);
    virtual ~DeletedRowScan();

    // Scans the file at `path`. What was stored is committed at the end, also after a
    // cancel; a failure rolls the store back and passes on.
    void run(const QString &path);

protected:
    virtual QString table() const = 0;
    // The templates in the order tried; the widest one names the columns that the filter
    // and the converter read by index.
    virtual QList<Sqlite3File::Template> templates() const = 0;
    // iOS 5: once a template's every carved row converts, the others are not tried.
    virtual bool stopsWhenTemplateExplainsPage() const { return false; }
    virtual bool testsCancelBeforeTemplate() const { return true; }
    // The carver's filter.
    virtual bool acceptRow(const Sqlite3File::Row &row) = 0;
    // Converts the row and keeps the record for storing; false when refused.
    virtual bool keep(const Sqlite3File::Row &row) = 0;
    virtual int keptCount() const = 0;
    // Stores kept record `index` unless the live table or the store already holds it.
    virtual void storeKept(int index, Pass pass) = 0;
    virtual void clearKept() = 0;

    bool cancelled() const;

    AbsIOSMessageDb &m_live;
    MessageRecycleDb &m_store;
    ProgressForm *m_form;

private:
    struct Layout
    {
        Sqlite3File::Template columns;
        // The fewest columns a row of the table may have.
        int narrowest = 0;
        // Template index of each column the converter reads; empty when they agree.
        QVector<int> toCanonical;
    };

    void readLayout(const QList<Sqlite3File::Template> &fixed);
    Sqlite3File::Row canonical(const Sqlite3File::Row &row) const;
    void addPage(qint32 number);
    void firstPass(const Sqlite3File &file);
    void decodeCells(const Sqlite3File &file, const Sqlite3File::Page &page);
    void storeAll(Pass pass);
    bool listTablePages(const Sqlite3File &file);
    void secondPass(const Sqlite3File &file);

    Layout m_layout;
    // The templates that the table's own columns do not cover.
    QList<Sqlite3File::Template> m_fixed;
    QVector<qint32> m_pages;
    std::vector<bool> m_listed;
};

// A scan that keeps its converted records of type Kept in a list until they are stored.
template <typename Kept>
class KeepingRowScan : public DeletedRowScan
{
public:
    using DeletedRowScan::DeletedRowScan;

protected:
    int keptCount() const override { return m_kept.size(); }
    void clearKept() override { m_kept.clear(); }

    QList<Kept> m_kept;
};
