#include "engine/TransferRules.h"

#include "common/Ansi.h"

namespace TransferRules {

qsizetype& ReceiveLimit() {
    static qsizetype limit = 64 * 1024 * 1024;
    return limit;
}

namespace {

char Upper(char c) { return c >= 'a' && c <= 'z' ? char(c - 32) : c; }

}  // namespace

qsizetype CallLength(const QByteArray& text) {
    qsizetype n = text.size();
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) ++n;
        if (text[i] == '\r' && (i + 1 == text.size() || text[i + 1] != '\n')) ++n;
    }
    return n;
}

bool IsCallText(const QByteArray& text, const QByteArray& prgAk) {
    // The leading part equals the call head: "%" and the identifier's first occurrence right
    // after it (no copy of a long program).
    if (prgAk.isEmpty() || !text.startsWith(CallHead(prgAk))) return false;
    return text.indexOf(prgAk) == 1 && CallLength(text) > kCallThreshold;
}

QByteArray CallHead(const QByteArray& prgAk) { return "%" + prgAk; }

QByteArray LeadingPart(const QByteArray& completed, const QByteArray& prgAk) {
    if (completed.isEmpty()) return {};
    const qsizetype at = prgAk.isEmpty() ? -1 : completed.indexOf(prgAk);
    if (at >= 0) return completed.left(at + prgAk.size());
    const qsizetype count = prgAk.size() - 1;
    if (count <= 0) return {};
    return completed.left(count);
}

bool CallNumber(const QByteArray& completed, const QByteArray& ak, QByteArray* number) {
    if (ak.isEmpty()) return false;
    const qsizetype at = completed.indexOf(ak);
    if (at < 0) return false;
    *number = completed.mid(at + 1, 4);
    return true;
}

QByteArray CallNumberProblem(const QByteArray& completed, const QByteArray& ak,
                             QByteArray* number) {
    if (ak.isEmpty()) return "keine Abrufkennung eingestellt";
    if (!CallNumber(completed, ak, number)) return "Abrufkennung \"" + ak + "\" fehlt";
    if (number->size() < 4) return Ansi::Lit("weniger als 4 Zeichen nach der Abrufkennung");
    for (const char c : *number) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= 32 || byte == 127) {
            return Ansi::Lit("Leer- oder Steuerzeichen in der Programmnummer");
        }
    }
    const QByteArray reason = UnsafeNameReason(*number);
    if (!reason.isEmpty()) return "Programmnummer abgelehnt (" + reason + ")";
    return {};
}

bool GreaterThanBlank(const QByteArray& text) {
    if (text.isEmpty()) return false;
    const auto first = static_cast<unsigned char>(text[0]);
    return first > 32 || (first == 32 && text.size() > 1);
}

ReceiveCase Decide(const QByteArray& leadingPart, const QByteArray& callHead,
                   const QByteArray& sendFileName, int readLength, const QByteArray& prgAk) {
    const bool is3333 = prgAk == "3333";
    if (leadingPart == callHead) {
        if (!GreaterThanBlank(sendFileName)) return ReceiveCase::CallWithoutName;
        if (readLength >= 2) return ReceiveCase::SendCalled;
        return is3333 ? ReceiveCase::CallNotSaved3333 : ReceiveCase::SaveAfterCall;
    }
    if (!GreaterThanBlank(leadingPart)) return ReceiveCase::NotAProgram;
    return is3333 ? ReceiveCase::NotSaved3333 : ReceiveCase::SaveProgram;
}

namespace {

// The first "DFS," in text, letter case ignored, without an upper-case copy of a program
// that may be megabytes long.
qsizetype FindDfs(const QByteArray& text) {
    for (qsizetype i = 0; i + 4 <= text.size(); ++i) {
        if (Upper(text[i]) == 'D' && Upper(text[i + 1]) == 'F' && Upper(text[i + 2]) == 'S' &&
            text[i + 3] == ',') {
            return i;
        }
    }
    return -1;
}

}  // namespace

QByteArray DfsName(const QByteArray& text, bool* hasKeyword) {
    const qsizetype at = FindDfs(text);
    *hasKeyword = at >= 0;
    if (at < 0) return {};
    const QByteArray field = text.mid(at + 4, 10);
    const qsizetype comma = field.indexOf(',');
    if (comma <= 0) return {};
    return field.left(comma);
}

QByteArray UnsafeNameReason(const QByteArray& name) {
    if (name.isEmpty()) return "Name ist leer";
    if (name == "." || name == "..") return "Name \"" + name + "\" ist kein Dateiname";
    if (name.contains("..")) return Ansi::Lit("Name enthält \"..\"");
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '/' || c == '\\') return Ansi::Lit("Name enthält ein Trennzeichen");
        if (byte < 32 || byte == 127) return Ansi::Lit("Name enthält ein Steuerzeichen");
    }
    return {};
}

QByteArray ForTrace(const QByteArray& text, qsizetype limit) {
    if (text.size() <= limit) return text;
    return text.left(limit) + " ... (" + QByteArray::number(text.size()) +
           Ansi::Lit(" Zeichen, gekürzt)");
}

}  // namespace TransferRules
