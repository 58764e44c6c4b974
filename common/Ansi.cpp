#include "common/Ansi.h"

#include <array>

namespace {

// Unicode code points of bytes 0x80..0x9F; the rest of the code page equals Latin-1.
constexpr std::array<char16_t, 32> kHighControls = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

char16_t ByteToUnicode(unsigned char b) {
    if (b >= 0x80 && b <= 0x9F) return kHighControls[b - 0x80];
    return b;
}

}  // namespace

namespace Ansi {

QString ToQString(const QByteArray& bytes) {
    QString out;
    out.resize(bytes.size());
    for (qsizetype i = 0; i < bytes.size(); ++i)
        out[i] = QChar(ByteToUnicode(static_cast<unsigned char>(bytes[i])));
    return out;
}

bool CharToByte(QChar ch, char& byte) {
    const char16_t u = ch.unicode();
    if (u < 0x80 || (u >= 0xA0 && u <= 0xFF)) {
        byte = static_cast<char>(u);
        return true;
    }
    for (int i = 0; i < 32; ++i) {
        if (kHighControls[i] == u) {
            byte = static_cast<char>(0x80 + i);
            return true;
        }
    }
    return false;
}

QByteArray FromQString(const QString& text) {
    QByteArray out;
    out.reserve(text.size());
    for (QChar ch : text) {
        char b;
        out.append(CharToByte(ch, b) ? b : '?');
    }
    return out;
}

QByteArray Lit(const char* utf8) { return FromQString(QString::fromUtf8(utf8)); }

}  // namespace Ansi
