// A shared handle to one libplist node: parses and serialises XML and binary property lists,
// reads nodes as Qt values and builds new trees.
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QMap>
#include <QSharedPointer>
#include <QString>
#include <plist/plist.h>

// What all copies of one PlistValue share.
struct PlistNodeHolder
{
    plist_t node = nullptr;
    bool owned = true;
    // The holder whose tree contains this node; keeps that tree alive while this node is used.
    QSharedPointer<PlistNodeHolder> owner;
    // On the holder of a whole tree: every value that points into it, so that values into a
    // part that is freed can be cleared rather than left dangling.
    QList<QWeakPointer<PlistNodeHolder>> inside;
    int pruneAt = 64;

    PlistNodeHolder(plist_t n, bool o)
        : node(n)
        , owned(o)
    {
    }
    ~PlistNodeHolder() { release(); }
    PlistNodeHolder(const PlistNodeHolder &) = delete;
    PlistNodeHolder &operator=(const PlistNodeHolder &) = delete;

    void release();
    void freeNode();
};

class PlistValue
{
public:
    PlistValue();
    PlistValue(plist_t node, bool owned);
    explicit PlistValue(const QSharedPointer<PlistNodeHolder> &holder);

    static PlistValue nullValue(bool owned = true);
    static PlistValue fromBool(bool value, bool owned = true);
    static PlistValue fromUInt64(quint64 value, bool owned = true);
    static PlistValue fromDouble(double value, bool owned = true);
    static PlistValue fromByteArray(const QByteArray &value, bool owned = true);
    static PlistValue fromDateTime(const QDateTime &value, bool owned = true);
    static PlistValue fromString(const QString &value, bool owned = true);
    static PlistValue fromKey(const QString &value, bool owned = true);
    // XML or binary ("bplist00"); a null node when the bytes do not parse.
    static PlistValue fromData(const QByteArray &data, bool owned = true);
    static PlistValue newArray(bool owned = true);
    static PlistValue newDict(bool owned = true);
    static PlistValue copy(const PlistValue &other, bool owned = true);

    bool isBool() const { return isType(PLIST_BOOLEAN); }
    bool isUInt() const { return isType(PLIST_UINT); }
    bool isReal() const { return isType(PLIST_REAL); }
    bool isString() const { return isType(PLIST_STRING); }
    bool isArray() const { return isType(PLIST_ARRAY); }
    bool isDict() const { return isType(PLIST_DICT); }
    bool isDate() const { return isType(PLIST_DATE); }
    bool isData() const { return isType(PLIST_DATA); }
    bool isKey() const { return isType(PLIST_KEY); }
    bool isNull() const;

    bool toBool() const;
    quint64 toUInt64() const;
    double toDouble() const;
    QByteArray toByteArray() const;
    QDateTime toDateTime() const;
    QString toString() const;
    QString keyString() const;
    int arraySize() const;
    int dictSize() const;
    QMap<QString, PlistValue> toMap() const;
    QString toXml() const;
    QByteArray toBinary() const;
    plist_t node() const;

    // Children keep the tree they belong to alive, so they stay valid however long they are used.
    PlistValue item(const QString &key) const;
    PlistValue arrayItem(int index) const;
    PlistValue &setItem(const QString &key, PlistValue value);
    PlistValue &arrayAppend(PlistValue value);
    // Frees the node now. A node inside a tree leaves it first; values held into the freed
    // part, like those into an entry that setItem replaces, become null.
    void freeNode();

private:
    bool isType(plist_type type) const;
    QSharedPointer<PlistNodeHolder> treeHolder() const;
    PlistValue child(plist_t node) const;
    plist_t adopt(PlistValue &value) const;
    // Clears every value of this tree that points into the subtree about to be freed.
    void forgetSubtree(plist_t subtree) const;

    QSharedPointer<PlistNodeHolder> d;
};
