#include "backup/itunescachemanifestdb.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QString kId = QStringLiteral("3d0d7e5fb2ce288813306e4d4636395e047a3d28");

} // namespace

class tst_ITunesCacheManifestDb : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_tmp;
    int m_counter = 0;
    QString newPath() { return m_tmp.filePath(QStringLiteral("m%1.db").arg(++m_counter)); }

private slots:
    void missingRowIsNotAZeroTime()
    {
        ITunesCacheManifestDb db(newPath());
        bool found = true;
        QCOMPARE(db.lastDate(kId, &found), qint64(0));
        QVERIFY(!found);
        db.setLastDate(kId, 0);
        QCOMPARE(db.lastDate(kId, &found), qint64(0));
        QVERIFY(found);
    }

    void setLastDateInsertsThenUpdates_data()
    {
        QTest::addColumn<QList<qint64>>("dates");
        QTest::newRow("once") << QList<qint64> { 1400000000 };
        QTest::newRow("changed") << QList<qint64> { 1400000000, 1500000000 };
        QTest::newRow("same twice") << QList<qint64> { 7, 7 };
        QTest::newRow("beyond 32 bits") << QList<qint64> { 1, qint64(1) << 40 };
    }
    void setLastDateInsertsThenUpdates()
    {
        QFETCH(QList<qint64>, dates);
        const QString path = newPath();
        {
            ITunesCacheManifestDb db(path);
            for (qint64 d : dates)
                db.setLastDate(kId, d);
        }
        ITunesCacheManifestDb reopened(path);
        QCOMPARE(reopened.lastDate(kId), dates.last());
        // Ids are hexadecimal: letter case does not matter.
        QCOMPARE(reopened.lastDate(kId.toUpper()), dates.last());
        reopened.remove(kId);
        bool found = true;
        reopened.lastDate(kId, &found);
        QVERIFY(!found);
    }

    void discardForgetsTheRun()
    {
        const QString path = newPath();
        {
            ITunesCacheManifestDb db(path);
            db.setLastDate(QStringLiteral("aa"), 1);
        }
        {
            ITunesCacheManifestDb db(path);
            db.setLastDate(QStringLiteral("aa"), 2);
            db.setLastDate(QStringLiteral("bb"), 3);
            db.discard();
        }
        ITunesCacheManifestDb db(path);
        QCOMPARE(db.lastDate(QStringLiteral("aa")), qint64(1));
        bool found = true;
        db.lastDate(QStringLiteral("bb"), &found);
        QVERIFY(!found);
    }

    void unusableIndexOnlyForgets_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QByteArray>("contents"); // null: no file
        QTest::newRow("not a database") << "garbage.db" << QByteArray(4096, 'x');
        QTest::newRow("folder missing") << "no/such/folder/manifest.db" << QByteArray();
    }
    void unusableIndexOnlyForgets()
    {
        QFETCH(QString, path);
        QFETCH(QByteArray, contents);
        if (!contents.isNull()) {
            QFile f(m_tmp.filePath(path));
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(contents);
        }
        ITunesCacheManifestDb db(m_tmp.filePath(path));
        db.setLastDate(kId, 9);
        bool found = true;
        QCOMPARE(db.lastDate(kId, &found), qint64(0));
        QVERIFY(!found);
    }
};

QTEST_MAIN(tst_ITunesCacheManifestDb)
#include "tst_itunescachemanifestdb.moc"
