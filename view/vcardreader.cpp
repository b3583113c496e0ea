#include "vcardreader.h"

#include <QTextCodec>

#include <climits>
#include <cstring>

namespace {

bool isWhite(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

int base64Value(char c)
{
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool sameText(const char *a, const char *b)
{
    return a && qstricmp(a, b) == 0;
}

} // namespace

VCardParser::VCardParser()
{
    reset();
}

void VCardParser::reset()
{
    state = Name;
    length = 0;
    skipValueSpace = true;
    params.clear();
    escaped = false;
    encoding = NoEncoding;
    qpPending = false;
    softBreak = false;
    std::memset(quad, 0, sizeof quad);
    quadLength = 0;
    // A large photo must not keep its memory for the rest of the file.
    if (buffer.size() > 1024)
        std::vector<char>().swap(buffer);
}

void VCardParser::append(char c)
{
    if (length == buffer.size())
        buffer.resize(buffer.size() < 1024 ? buffer.size() + 128 : buffer.size() * 2);
    buffer[length++] = c;
}

int VCardParser::parse(const char *bytes, std::size_t count, bool final)
{
    for (std::size_t i = 0; i < count; ++i) {
        const char c = bytes[i];
        bool ok = true;
        if (lineStart) {
            // A line of nothing but blanks ends nothing and starts nothing: the line after it
            // decides between a fold and a new property. A CR here belongs to such a line.
            if (c == '\n' || c == '\r') {
                if (c == '\n') {
                    foldBlanks.clear();
                    // A blank line after a soft break ends the value instead of swallowing the
                    // next property into it.
                    if (softBreak) {
                        softBreak = false;
                        qpPending = false;
                    }
                }
                continue;
            }
            if (isWhite(c)) {
                foldBlanks.push_back(c);
                continue;
            }
            lineStart = false;
            if (softBreak) {
                // A quoted-printable soft break joins the lines; one fold blank is dropped.
                softBreak = false;
                qpPending = false;
                std::size_t from = 0;
                if (!foldBlanks.empty() && (foldBlanks[0] == ' ' || foldBlanks[0] == '\t'))
                    from = 1;
                for (std::size_t b = from; ok && b < foldBlanks.size(); ++b)
                    ok = feed(foldBlanks[b]);
                ok = ok && feed(c);
            } else if (!foldBlanks.empty()) {
                // A fold: one space stands for the line break and its first blank.
                if (encoding == QuotedPrintable)
                    qpPending = false;
                ok = feed(' ');
                for (std::size_t b = 1; ok && b < foldBlanks.size(); ++b)
                    ok = feed(foldBlanks[b]);
                ok = ok && feed(c);
            } else {
                ok = feed('\n') && feed(c);
            }
            foldBlanks.clear();
        } else if (c == '\n') {
            lineStart = true;
            foldBlanks.clear();
            softBreak
                = state == Value && encoding == QuotedPrintable && qpPending && quadLength == 0;
        } else {
            ok = feed(c);
        }
        if (!ok) {
            reset();
            return 0;
        }
    }
    if (final && !feed('\n')) {
        reset();
        return 0;
    }
    return 1;
}

bool VCardParser::feed(char c)
{
    switch (state) {
    case Name:
        if (c == '\n')
            reset();
        else if (c == ':')
            endHeader();
        else if (c == ';') {
            append('\0');
            state = ParamStart;
        } else if (!isWhite(c))
            append(c);
        return true;
    case ParamStart:
        if (c == ':')
            return false;
        if (!isWhite(c)) {
            params.emplace_back(length, 0);
            state = ParamName;
            append(c);
        }
        return true;
    case ParamName:
        if (c == ';') {
            append('\0');
            state = ParamStart;
        } else if (c == '=') {
            append('\0');
            state = ParamValueStart;
        } else if (c == ':') {
            endHeader();
        } else if (!isWhite(c)) {
            append(c);
        }
        return true;
    case ParamValueStart:
        if (c == ':' || c == ';')
            return false;
        if (!isWhite(c)) {
            params.back().second = length;
            state = ParamValue;
            append(c);
        }
        return true;
    case ParamValue:
        if (c == ':') {
            endHeader();
        } else if (c == ';') {
            if (escaped) {
                escaped = false;
                append(';');
            } else {
                append('\0');
                state = ParamStart;
            }
        } else if (c == '\\') {
            if (escaped) {
                escaped = false;
                append('\\');
            } else {
                escaped = true;
            }
        } else if (!isWhite(c)) {
            append(c);
        }
        return true;
    case Value:
        if (c == '\n')
            return endValue();
        if (c == '\r' || (skipValueSpace && isWhite(c)))
            return true;
        skipValueSpace = false;
        if (!valueCallback)
            return true;
        return decodeValueByte(c);
    }
    return false;
}

void VCardParser::endHeader()
{
    if (propertyCallback) {
        append('\0');
        std::vector<VCardParam> list;
        list.reserve(params.size() + 1);
        for (const auto &param : params) {
            const char *name = buffer.data() + param.first;
            const char *value = param.second ? buffer.data() + param.second : nullptr;
            list.push_back({ name, value });
            const char *text = sameText(name, "ENCODING") ? value : name;
            if (sameText(text, "QUOTED-PRINTABLE"))
                encoding = QuotedPrintable;
            else if (sameText(text, "BASE64") || sameText(text, "B"))
                encoding = Base64;
            else if (sameText(text, "8BIT"))
                encoding = EightBit;
        }
        list.push_back({ nullptr, nullptr });
        propertyCallback(userData, buffer.data(), list.data());
    }
    length = 0;
    state = Value;
}

bool VCardParser::endValue()
{
    bool ok = true;
    if (valueCallback) {
        if (encoding == Base64 && quadLength > 0) {
            if (quadLength == 1) {
                // One character cannot make a byte: the group is dropped.
                ok = base64Value(quad[0]) >= 0;
                quadLength = 0;
            } else {
                while (quadLength < 4)
                    quad[quadLength++] = '=';
                ok = decodeQuad();
            }
        }
        if (ok && length > INT_MAX)
            ok = false;
        if (ok) {
            if (length > 0)
                valueCallback(userData, buffer.data(), static_cast<int>(length));
            valueCallback(userData, nullptr, 0);
        }
    }
    reset();
    return ok;
}

bool VCardParser::decodeValueByte(char c)
{
    switch (encoding) {
    case QuotedPrintable:
        if (qpPending) {
            quad[quadLength++] = c;
            if (quadLength == 2) {
                int value = 0;
                for (int i = 0; i < 2; ++i) {
                    const int digit = hexValue(quad[i]);
                    if (digit < 0)
                        break;
                    value = value * 16 + digit;
                }
                append(static_cast<char>(value & 0xff));
                qpPending = false;
                quadLength = 0;
            }
        } else if (c == '=') {
            qpPending = true;
            quadLength = 0;
        } else {
            append(c);
        }
        return true;
    case Base64:
        if (isWhite(c))
            return true;
        quad[quadLength++] = c;
        return quadLength < 4 || decodeQuad();
    default:
        append(c);
        return true;
    }
}

bool VCardParser::decodeQuad()
{
    quadLength = 0;
    const int a = base64Value(quad[0]);
    const int b = base64Value(quad[1]);
    const bool pad3 = quad[2] == '=';
    const bool pad4 = quad[3] == '=';
    const int c = pad3 ? 0 : base64Value(quad[2]);
    const int d = pad4 ? 0 : base64Value(quad[3]);
    if (a < 0 || b < 0 || c < 0 || d < 0)
        return false;
    append(static_cast<char>((a << 2) | (b >> 4)));
    if (!pad3)
        append(static_cast<char>(((b & 0x0f) << 4) | (c >> 2)));
    if (!pad4)
        append(static_cast<char>(((c & 0x03) << 6) | d));
    return true;
}

namespace {

struct VCardContext
{
    QList<VCard> cards;
    // Indices, not pointers: appending to the lists moves their elements.
    int card = -1;
    int property = -1;
};

void onVCardProperty(void *userData, const char *name, const VCardParam *params)
{
    auto *context = static_cast<VCardContext *>(userData);
    if (std::strcmp(name, "BEGIN") == 0) {
        context->cards.append(VCard());
        context->card = context->cards.size() - 1;
        context->property = -1;
        return;
    }
    if (std::strcmp(name, "END") == 0) {
        context->card = -1;
        context->property = -1;
        return;
    }
    if (context->card < 0) {
        context->property = -1;
        return;
    }
    VCardProperty property;
    property.name = QString::fromLatin1(name);
    for (const VCardParam *param = params; param->name; ++param)
        property.params.insert(QString::fromLatin1(param->name),
            param->value ? QString::fromLatin1(param->value) : QString(QLatin1String("")));
    VCard &card = context->cards[context->card];
    card.append(property);
    context->property = card.size() - 1;
}

void onVCardValue(void *userData, const char *bytes, int count)
{
    auto *context = static_cast<VCardContext *>(userData);
    if (count <= 0 || context->card < 0 || context->property < 0)
        return;
    context->cards[context->card][context->property].value = QByteArray(bytes, count);
}

} // namespace

QList<VCard> parseVCards(const QByteArray &data)
{
    VCardContext context;
    VCardParser parser;
    parser.setUserData(&context);
    parser.setPropertyCallback(onVCardProperty);
    parser.setValueCallback(onVCardValue);
    parser.parse(data.constData(), static_cast<std::size_t>(data.size()), true);
    return context.cards;
}

QString vcardValueToString(const VCardProperty &property)
{
    for (auto it = property.params.cbegin(); it != property.params.cend(); ++it) {
        if (it.key().compare(QLatin1String("CHARSET"), Qt::CaseInsensitive) != 0)
            continue;
        if (QTextCodec *codec = QTextCodec::codecForName(it.value().toLatin1()))
            return codec->toUnicode(property.value);
        break;
    }
    return QString::fromLocal8Bit(property.value);
}
