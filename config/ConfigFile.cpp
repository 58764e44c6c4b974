#include "config/ConfigFile.h"

#include <QDir>
#include <QFileInfo>
#include <QStringDecoder>

#include "common/Ansi.h"
#include "config/ConfigValues.h"

namespace ConfigFile {

namespace {
const QByteArray kBom("\xEF\xBB\xBF");
}  // namespace

TEncoding DetectEncoding(const QByteArray& content) {
    if (content.startsWith(kBom)) return TEncoding::Utf8Bom;
    bool multiByte = false;
    for (const char c : content) {
        if (static_cast<unsigned char>(c) >= 0x80) {
            multiByte = true;
            break;
        }
    }
    if (!multiByte) return TEncoding::Windows1252;
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder(content);
    return decoder.hasError() ? TEncoding::Windows1252 : TEncoding::Utf8;
}

QByteArray Decode(const QByteArray& content, TEncoding encoding) {
    switch (encoding) {
        case TEncoding::Windows1252:
            return content;
        case TEncoding::Utf8:
            return Ansi::FromQString(QString::fromUtf8(content));
        case TEncoding::Utf8Bom:
            return Ansi::FromQString(QString::fromUtf8(content.mid(kBom.size())));
    }
    return content;
}

QByteArray Encode(const QByteArray& text, TEncoding encoding) {
    switch (encoding) {
        case TEncoding::Windows1252:
            return text;
        case TEncoding::Utf8:
            return Ansi::ToQString(text).toUtf8();
        case TEncoding::Utf8Bom:
            return kBom + Ansi::ToQString(text).toUtf8();
    }
    return text;
}

QByteArray EncodingNote(TEncoding encoding) {
    switch (encoding) {
        case TEncoding::Windows1252:
            return {};
        case TEncoding::Utf8:
            return "Config.ini ist in UTF-8 geschrieben";
        case TEncoding::Utf8Bom:
            return "Config.ini ist in UTF-8 (mit BOM) geschrieben";
    }
    return {};
}

QByteArray TrailingBlanksNote(const std::array<QByteArray, ConfigSlotCount>& values, int lastLine) {
    struct Slot {
        int line;
        const char* label;
    };
    static const Slot named[] = {{CfgSlot::Ext, "Datei Extension"},
                                 {CfgSlot::Send, "Speicherort übertragen"},
                                 {CfgSlot::Save, "Speicherort ablegen"}};
    QByteArray lines;
    for (const Slot& slot : named) {
        const QByteArray& value = values[size_t(slot.line)];
        if (slot.line > lastLine || value == ConfigLines::WithoutTrailingBlanks(value)) continue;
        if (!lines.isEmpty()) lines += ", ";
        lines += "Zeile " + QByteArray::number(slot.line) + " (" + Ansi::Lit(slot.label) + ")";
    }
    if (lines.isEmpty()) return {};
    return Ansi::Lit("Leerzeichen am Zeilenende gehören nicht zum Wert: ") + lines;
}

QByteArray LineKey(const QByteArray& line) {
    const qsizetype eq = line.indexOf('=');
    return eq < 0 ? QByteArray() : line.left(eq + 1);
}

QByteArray OneLine(const QByteArray& text) {
    QByteArray out = text;
    out.replace("\r", "").replace("\n", "").replace("\x1a", "");
    return out;
}

QByteArray ComposeLine(const QByteArray& key, const QByteArray& value) {
    if (key.isEmpty() && value.contains('=')) return '=' + value;
    return key + value;
}

QByteArray DefaultKey(int line) {
    switch (line) {
        case 5:
            return "Extension=";
        case 6:
            return "LogFile=";
        case 7:
            return "Abrufkennung=";
        case 8:
            return "ProgrammEnde=";
        case 9:
            return "ComPort=";
        case 10:
            return "ProgrammKennung=";
        case 11:
            return "Verweilzeit=";
        case 12:
            return "SendePfad=";
        case 13:
            return "AblagePfad=";
        case 14:
            return "Ruhezeit=";
        case 15:
            return "Namen=";
        case 16:
            return "Zeilenende=";
        default:
            return "Zeile" + QByteArray::number(line) + '=';
    }
}

QByteArray Compose(const QByteArray& path, const std::array<QByteArray, 21>& keys,
                   const std::array<QByteArray, 21>& values, int linesRead,
                   const QList<QByteArray>& carried) {
    int last = linesRead;
    for (int slot = CfgSlot::LineEnd; slot > last; --slot) {
        if (!values[slot].isEmpty()) {
            last = slot;
            break;
        }
    }
    const int total = last + static_cast<int>(carried.size());
    QByteArray out = HeaderLine(OneLine(path), total) + "\r\n";
    for (int k = 2; k <= last; ++k) {
        const QByteArray key = k <= linesRead ? keys[k] : DefaultKey(k);
        out += ComposeLine(key, OneLine(values[k])) + "\r\n";
    }
    for (const QByteArray& line : carried) out += line + "\r\n";
    return out;
}

bool DwellMs(const QByteArray& text, int* ms) {
    *ms = 0;
    const QByteArray digits = text.trimmed();
    if (digits.isEmpty()) return false;
    for (const char c : digits)
        if (c < '0' || c > '9') return false;
    bool ok = false;
    const int value = digits.toInt(&ok);
    if (!ok) return false;
    *ms = value;
    return true;
}

bool QuietTimeMs(const QByteArray& text, int* ms) {
    *ms = kDefaultQuietS * 1000;
    const QByteArray value = text.trimmed();
    if (value.isEmpty()) return true;
    int seconds = 0;
    if (!DwellMs(value, &seconds) || seconds < 1 || seconds > kMaxQuietS) return false;
    *ms = seconds * 1000;
    return true;
}

bool Naming(const QByteArray& text, TNaming* naming) {
    *naming = TNaming::Dfs;
    const QByteArray value = text.trimmed().toUpper();
    if (value.isEmpty() || value == "DFS") return true;
    if (value != "PROGRAMM") return false;
    *naming = TNaming::Program;
    return true;
}

bool LineEndBytes(const QByteArray& text, QByteArray* bytes) {
    static const struct {
        const char* name;
        const char* bytes;
    } kEnds[] = {{"CRLF", "\r\n"}, {"LF", "\n"}, {"CR", "\r"}, {"LFCRCR", "\n\r\r"}};
    *bytes = "\r\n";
    const QByteArray value = text.trimmed().toUpper();
    if (value.isEmpty()) return true;
    for (const auto& end : kEnds) {
        if (value != end.name) continue;
        *bytes = end.bytes;
        return true;
    }
    return false;
}

QByteArray HeaderLine(const QByteArray& path, int lineCount) {
    return path + '=' + QByteArray::number(lineCount);
}

QString BackupPath(const QString& path) {
    const QFileInfo info(path);
    const QString name = info.fileName();
    const qsizetype dot = name.lastIndexOf('.');
    // A leading dot names a hidden file, not an extension.
    const QString base = dot > 0 ? name.left(dot) : name;
    const QString folderPart = path.left(path.size() - name.size());
    return folderPart + base + QStringLiteral(".bak");
}

QString FullPath(const QString& name) {
    if (name.isEmpty()) return name;
    return QDir::cleanPath(QDir::current().absoluteFilePath(name));
}

}  // namespace ConfigFile
