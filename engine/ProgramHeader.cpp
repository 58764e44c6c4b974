#include "engine/ProgramHeader.h"

#include "common/Ansi.h"
#include "engine/TransferRules.h"

namespace ProgramHeader {
namespace {

// Longer names than any control writes are refused, so that no line can make a file name
// the file system rejects.
constexpr qsizetype kLongestName = 64;

bool Digit(char c) { return c >= '0' && c <= '9'; }
bool Letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool Printable(char c) { return static_cast<unsigned char>(c) >= 33 && c != 127; }
// What program names are made of on every control here.
bool NameChar(char c) { return Letter(c) || Digit(c) || c == '_' || c == '-' || c == '+'; }
bool Blank(char c) { return c == ' ' || c == '\t'; }

enum class TMatch { No, Maybe, Yes };

// start against the beginning of pattern: all of it, a part of it so far, or not.
TMatch Prefix(QByteArrayView start, QByteArrayView pattern) {
    const qsizetype n = std::min(start.size(), pattern.size());
    for (qsizetype i = 0; i < n; ++i) {
        const char c = start[i] >= 'a' && start[i] <= 'z' ? char(start[i] - 32) : start[i];
        if (c != pattern[i]) return TMatch::No;
    }
    return start.size() >= pattern.size() ? TMatch::Yes : TMatch::Maybe;
}

// "BEGIN PGM " after an optional block number and blanks; *rest: what follows it.
TMatch BeginPgm(QByteArrayView line, QByteArrayView* rest = nullptr) {
    qsizetype i = 0;
    while (i < line.size() && Digit(line[i])) ++i;
    const qsizetype digits = i;
    while (i < line.size() && Blank(line[i])) ++i;
    if (i == line.size()) return TMatch::Maybe;
    if (digits > 0 && i == digits) return TMatch::No;  // a block number runs into its word
    const TMatch m = Prefix(line.sliced(i), "BEGIN PGM ");
    if (m == TMatch::Yes && rest) *rest = line.sliced(i + 10);
    return m;
}

// "%4711 G71 *": the name of a Heidenhain ISO program, or empty.
QByteArray IsoName(QByteArrayView line) {
    if (line.isEmpty() || line[0] != '%') return {};
    qsizetype i = 1;
    while (i < line.size() && NameChar(line[i])) ++i;
    const QByteArrayView name = line.sliced(1, i - 1);
    while (i < line.size() && Blank(line[i])) ++i;
    if (name.isEmpty() || i == 1 + name.size()) return {};
    const QByteArrayView unit = line.sliced(i);
    if (Prefix(unit, "G70") != TMatch::Yes && Prefix(unit, "G71") != TMatch::Yes) return {};
    return name.toByteArray();
}

QByteArrayView Trimmed(QByteArrayView line) {
    while (!line.isEmpty() && Blank(line.front())) line = line.sliced(1);
    while (!line.isEmpty() && Blank(line.back())) line.chop(1);
    return line;
}

QByteArray Refusal(const QByteArray& stem, const QByteArray& ext) {
    const QByteArray unsafe = TransferRules::UnsafeNameReason(stem);
    if (!unsafe.isEmpty()) return unsafe;
    if (stem.size() > kLongestName) {
        return Ansi::Lit("Name ist länger als ") + QByteArray::number(kLongestName) + " Zeichen";
    }
    if (stem.startsWith('.')) return "Name beginnt mit einem Punkt";
    // ...and with the extension after it, one at its end would make "..".
    if (stem.endsWith('.')) return "Name endet mit einem Punkt";
    for (const char c : stem) {
        if (!NameChar(c) && c != '.') return Ansi::Lit("Name enthält ein unzulässiges Zeichen");
    }
    if (ext.isEmpty()) return {};
    bool plain = ext.size() <= 3;
    for (const char c : ext) plain = plain && (Letter(c) || Digit(c));
    // The files the server writes itself are never a program's.
    const QByteArray upper = ext.toUpper();
    if (!plain || upper == "INI" || upper == "LOG" || upper == "TMP" || upper == "BAK") {
        return "Dateityp \"" + ext + "\" ist kein Programmtyp";
    }
    return {};
}

TName FromHeader(QByteArrayView line) {
    TName n;
    QByteArrayView rest;
    if (line.size() > 1 && line[0] == 'O' && Digit(line[1])) {
        qsizetype i = 1;
        while (i < line.size() && Digit(line[i])) ++i;
        n.Stem = line.sliced(1, i - 1).toByteArray();
    } else if (line.startsWith('<')) {
        const qsizetype close = line.indexOf('>');
        if (close < 0) return {};
        n.Stem = line.sliced(1, close - 1).toByteArray();
    } else if (line.startsWith("%_N_")) {
        QByteArrayView token = line.sliced(4);
        for (qsizetype i = 0; i < token.size(); ++i) {
            if (Blank(token[i]) || token[i] == ';') {
                token = token.first(i);
                break;
            }
        }
        const qsizetype type = token.lastIndexOf('_');
        if (type <= 0) return {};
        n.Stem = token.first(type).toByteArray();
        n.Ext = token.sliced(type + 1).toByteArray();
        if (n.Ext.isEmpty()) return {};
    } else if (line.startsWith('$')) {
        const qsizetype percent = line.indexOf('%');
        if (percent < 0) return {};
        const QByteArrayView token = line.sliced(1, percent - 1);
        const qsizetype dot = token.lastIndexOf('.');
        n.Stem = (dot > 0 ? token.first(dot) : token).toByteArray();
        if (dot > 0) n.Ext = token.sliced(dot + 1).toByteArray();
    } else if (BeginPgm(line, &rest) == TMatch::Yes) {
        rest = Trimmed(rest);
        qsizetype end = 0;
        while (end < rest.size() && !Blank(rest[end])) ++end;
        n.Stem = rest.first(end).toByteArray();
        // "BEGIN PGM MM": the unit, and no name before it.
        const QByteArray unit = n.Stem.toUpper();
        if (Trimmed(rest.sliced(end)).isEmpty() && (unit == "MM" || unit == "INCH")) return {};
        if (unit.endsWith(".H")) n.Stem.chop(2);
        n.Ext = "H";
    } else if (const QByteArray iso = IsoName(line); !iso.isEmpty()) {
        n.Stem = iso;
        n.Ext = "I";
    } else {
        return {};
    }
    if (n.Stem.isEmpty()) return {};
    n.Refused = Refusal(n.Stem, n.Ext);
    return n;
}

}  // namespace

TLineStart ClassifyLineStart(QByteArrayView start, bool afterReturn) {
    if (start.isEmpty()) return TLineStart::Undecided;
    if (start[0] == '%') {
        if (start.size() == 1) return TLineStart::Undecided;
        const char c = start[1];
        if (c == '%') {
            if (start.size() == 2) return TLineStart::Undecided;
            // "%%Prg": the first "%" ends the program, the second begins what follows;
            // "%%%Prg": "%%" ends it.
            return Printable(start[2]) && start[2] != '%' ? TLineStart::TapeEnd
                                                          : TLineStart::DoubleEnd;
        }
        if (c == '_') {
            switch (Prefix(start, "%_N_")) {
                case TMatch::Yes:
                    return TLineStart::NextProgram;
                case TMatch::Maybe:
                    return TLineStart::Undecided;
                case TMatch::No:
                    return TLineStart::Text;
            }
        }
        return Printable(c) || c == ' ' ? TLineStart::Text : TLineStart::TapeEnd;
    }
    if (!afterReturn) return TLineStart::Text;
    if (start[0] == 'O' || start[0] == '<' || start[0] == '$') {
        if (start.size() == 1) return TLineStart::Undecided;
        const bool header = start[0] == 'O' ? Digit(start[1]) : NameChar(start[1]);
        return header ? TLineStart::NextProgram : TLineStart::Text;
    }
    switch (BeginPgm(start)) {
        case TMatch::Yes:
            return TLineStart::NextProgram;
        case TMatch::Maybe:
            return start.size() < kLongestStart ? TLineStart::Undecided : TLineStart::Text;
        case TMatch::No:
            break;
    }
    return TLineStart::Text;
}

bool IsHeidenhain(QByteArrayView firstLine) {
    const QByteArrayView line = Trimmed(firstLine);
    return BeginPgm(line) == TMatch::Yes || !IsoName(line).isEmpty();
}

TName Find(const QByteArray& text) {
    qsizetype from = 0;
    while (from < text.size()) {
        qsizetype to = from;
        while (to < text.size() && text[to] != '\r' && text[to] != '\n') ++to;
        const QByteArrayView line = Trimmed(QByteArrayView(text).sliced(from, to - from));
        from = to + 1;
        if (line.isEmpty() || line == "%" || line == "%%" || line.startsWith('(') ||
            line.startsWith(';')) {
            continue;
        }
        return FromHeader(line);
    }
    return {};
}

}  // namespace ProgramHeader
