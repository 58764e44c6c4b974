#include "web/ProgramNames.h"

#include <QList>
#include <QStringDecoder>

namespace {

bool IsBidiControl(char32_t c) {
    return (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

}  // namespace

QString ProgramNameProblem(const QByteArray& name) {
    if (name.isEmpty()) return QStringLiteral("Der Dateiname ist leer.");
    if (name.size() > kMaxProgramName) {
        return QStringLiteral("Der Dateiname ist länger als %1 Bytes.").arg(kMaxProgramName);
    }
    QStringDecoder decode(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decode(name);
    if (decode.hasError()) return QStringLiteral("Der Dateiname ist kein gültiger UTF-8-Text.");
    for (const char32_t c : text.toUcs4()) {
        if (c < 32 || (c >= 127 && c < 160)) {
            return QStringLiteral("Der Dateiname enthält ein Steuerzeichen.");
        }
        if (IsBidiControl(c)) {
            return QStringLiteral(
                "Der Dateiname enthält ein Zeichen, das die Schreibrichtung "
                "umkehrt.");
        }
        if (c == '/' || c == '\\') {
            return QStringLiteral("Der Dateiname enthält ein Trennzeichen.");
        }
        if (c == '%') return QStringLiteral("Der Dateiname enthält \"%\".");
    }
    if (name.contains("..")) return QStringLiteral("Der Dateiname enthält \"..\".");
    if (name.startsWith('.')) return QStringLiteral("Der Dateiname beginnt mit einem Punkt.");
    return {};
}
