// A small streaming reader of vCard 2.1 and 3.0 files: VCardParser reports each property's
// header and decoded value through callbacks, parseVCards collects them into cards.
#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QString>

#include <cstddef>
#include <string>
#include <vector>

// One parameter as handed to the property callback; a null name ends the list and a null
// value means the parameter had none.
struct VCardParam
{
    const char *name;
    const char *value;
};

// A line parser that knows nothing of cards. Input is untrusted: every malformed byte
// sequence either fails the parse or is absorbed, and memory grows only with the input.
struct VCardParser
{
    using PropertyCallback = void (*)(void *userData, const char *name, const VCardParam *params);
    using ValueCallback = void (*)(void *userData, const char *bytes, int count);

    enum State { Name, ParamStart, ParamName, ParamValueStart, ParamValue, Value };
    enum Encoding { NoEncoding, QuotedPrintable, Base64, EightBit };

    VCardParser();

    void setUserData(void *data) { userData = data; }
    void setPropertyCallback(PropertyCallback callback) { propertyCallback = callback; }
    void setValueCallback(ValueCallback callback) { valueCallback = callback; }

    // Non-zero on success, 0 when the input is malformed (parsing stops there). With
    // `final` set a last line without a line end is completed.
    int parse(const char *bytes, std::size_t count, bool final);

    bool lineStart = true;
    // The blanks at the start of the line so far: a fold when something follows them, a
    // line to skip when the line ends first.
    std::string foldBlanks;
    // A quoted-printable "=" ended the previous line: the value goes on in the next line.
    bool softBreak = false;
    std::vector<char> buffer;
    std::size_t length = 0;
    int state = Name;
    bool skipValueSpace = true;
    std::vector<std::pair<std::size_t, std::size_t>> params;
    bool escaped = false;
    int encoding = NoEncoding;
    bool qpPending = false;
    char quad[4] = { 0, 0, 0, 0 };
    int quadLength = 0;
    void *userData = nullptr;
    PropertyCallback propertyCallback = nullptr;
    ValueCallback valueCallback = nullptr;

private:
    void reset();
    void append(char c);
    bool feed(char c);
    void endHeader();
    bool endValue();
    bool decodeValueByte(char c);
    bool decodeQuad();
};

struct VCardProperty
{
    QString name;
    QMap<QString, QString> params;
    QByteArray value;
};

using VCard = QList<VCardProperty>;

// The cards of the data in file order; on malformed input the cards read so far.
QList<VCard> parseVCards(const QByteArray &data);

// The value decoded with the codec named by its CHARSET parameter, else as local 8-bit.
QString vcardValueToString(const VCardProperty &property);
