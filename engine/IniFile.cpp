#include "engine/IniFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QStandardPaths>

#include "common/Ansi.h"
#include "common/Errors.h"
#include "common/FileReplace.h"

namespace {

struct Line {
    QByteArray text;  // without its line end
    QByteArray end;   // "\r\n", "\n" or "" for a last line without one
};

QList<Line> SplitLines(const QByteArray& content) {
    QList<Line> lines;
    qsizetype start = 0;
    while (start < content.size()) {
        const qsizetype lf = content.indexOf('\n', start);
        if (lf < 0) {
            lines.append({content.mid(start), QByteArray()});
            break;
        }
        const bool cr = lf > start && content.at(lf - 1) == '\r';
        lines.append({content.mid(start, lf - start - (cr ? 1 : 0)), cr ? "\r\n" : "\n"});
        start = lf + 1;
    }
    return lines;
}

QByteArray Join(const QList<Line>& lines) {
    QByteArray out;
    for (const Line& l : lines) out += l.text + l.end;
    return out;
}

// The section name of a "[name]" line, or a null array.
QByteArray SectionName(const QByteArray& line) {
    const QByteArray t = line.trimmed();
    if (t.size() < 2 || t.front() != '[') return {};
    const qsizetype close = t.indexOf(']');
    if (close < 0) return {};
    return t.mid(1, close - 1).trimmed();
}

bool SameName(const QByteArray& a, const QByteArray& b) {
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

// Index of the key's line in the section starting after line `from`, or -1; `end` gets the
// index of the first line after the section.
qsizetype FindKey(const QList<Line>& lines, qsizetype from, const QByteArray& key, qsizetype* end) {
    qsizetype i = from + 1;
    qsizetype found = -1;
    for (; i < lines.size(); ++i) {
        if (!SectionName(lines[i].text).isNull()) break;
        const qsizetype eq = lines[i].text.indexOf('=');
        if (found < 0 && eq > 0 && SameName(lines[i].text.left(eq).trimmed(), key)) found = i;
    }
    *end = i;
    return found;
}

qsizetype FindSection(const QList<Line>& lines, const QByteArray& section) {
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QByteArray name = SectionName(lines[i].text);
        if (!name.isNull() && SameName(name, section)) return i;
    }
    return -1;
}

QByteArray LineEndOf(const QList<Line>& lines) {
    for (const Line& l : lines)
        if (!l.end.isEmpty()) return l.end;
    return "\r\n";
}

}  // namespace

QString SettingsFolder() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/dnc-server");
}

QString SerDemoIniPath() { return SettingsFolder() + QStringLiteral("/SerDemo.ini"); }

QByteArray IniGet(const QByteArray& content, const QByteArray& section, const QByteArray& key,
                  const QByteArray& def) {
    const QList<Line> lines = SplitLines(content);
    const qsizetype s = FindSection(lines, section);
    if (s < 0) return def;
    qsizetype end = 0;
    const qsizetype k = FindKey(lines, s, key, &end);
    if (k < 0) return def;
    const QByteArray& text = lines[k].text;
    return text.mid(text.indexOf('=') + 1).trimmed();
}

QByteArray IniSet(const QByteArray& content, const QByteArray& section, const QByteArray& key,
                  const QByteArray& value) {
    QList<Line> lines = SplitLines(content);
    const QByteArray eol = LineEndOf(lines);
    const Line entry{key + "=" + value, eol};
    const qsizetype s = FindSection(lines, section);
    if (s < 0) {
        if (!lines.isEmpty() && lines.back().end.isEmpty()) lines.back().end = eol;
        lines.append({"[" + section + "]", eol});
        lines.append(entry);
        return Join(lines);
    }
    qsizetype end = 0;
    const qsizetype k = FindKey(lines, s, key, &end);
    if (k >= 0) {
        // Keep the key's spelling and the line's own end.
        const QByteArray& old = lines[k].text;
        lines[k].text = old.left(old.indexOf('=') + 1) + value;
        return Join(lines);
    }
    // After the section's last non-blank line, before any blank lines that separate it.
    qsizetype at = end;
    while (at > s + 1 && lines[at - 1].text.trimmed().isEmpty()) --at;
    if (at > 0 && lines[at - 1].end.isEmpty()) lines[at - 1].end = eol;
    lines.insert(at, entry);
    return Join(lines);
}

QByteArray IniReadString(const QString& path, const QByteArray& section, const QByteArray& key,
                         const QByteArray& def) {
    QFile file(path);
    if (!file.exists()) return def;
    if (QFileInfo(path).isDir())
        throw FileError(Ansi::Lit("Einstellungen lesen"), path, "ist ein Ordner");
    if (!file.open(QIODevice::ReadOnly)) {
        throw FileError(Ansi::Lit("Einstellungen lesen"), path,
                        Ansi::FromQString(file.errorString()));
    }
    return IniGet(file.readAll(), section, key, def);
}

TReplaceWay IniWriteString(const QString& path, const QByteArray& section, const QByteArray& key,
                           const QByteArray& value) {
    const QByteArray op = Ansi::Lit("Einstellungen speichern");
    const QFileInfo info(path);
    if (!QDir().mkpath(info.absolutePath())) {
        throw FileError(op, info.absolutePath(),
                        Ansi::Lit("der Ordner kann nicht angelegt werden"));
    }
    QByteArray content;
    if (info.exists()) {
        QFile in(path);
        if (!in.open(QIODevice::ReadOnly))
            throw FileError(op, path, Ansi::FromQString(in.errorString()));
        content = in.readAll();
    }
    return ReplaceFileContent(path, IniSet(content, section, key, value), op);
}
