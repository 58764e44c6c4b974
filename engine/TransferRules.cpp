#include "engine/TransferRules.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <cerrno>

#include "common/Ansi.h"
#include "common/Errors.h"
#include "common/FileReplace.h"

namespace TransferRules {

qsizetype& ReceiveLimit() {
    static qsizetype limit = 64 * 1024 * 1024;
    return limit;
}

namespace {

char Upper(char c) { return c >= 'a' && c <= 'z' ? char(c - 32) : c; }

// Where the last end word ("M30", "M02", letter case ignored) at or after from begins; -1
// when there is none. No copy: a program may be megabytes long.
qsizetype LastEndWord(const QByteArray& text, qsizetype from) {
    for (qsizetype i = text.size() - 3; i >= std::max<qsizetype>(from, 0); --i) {
        if (Upper(text[i]) != 'M') continue;
        if ((text[i + 1] == '3' && text[i + 2] == '0') ||
            (text[i + 1] == '0' && text[i + 2] == '2'))
            return i;
    }
    return -1;
}

}  // namespace

bool HasEndWord(const QByteArray& text) { return LastEndWord(text, 0) >= 0; }

bool EndWordInRead(const QByteArray& bufferBefore, const QByteArray& chunk) {
    if (chunk.isEmpty()) return false;
    // Two bytes of the previous read are enough to complete a three-letter word.
    return HasEndWord(chunk) || HasEndWord(bufferBefore.right(2) + chunk.left(2));
}

bool EndLineClosed(const QByteArray& text, qsizetype from) {
    const qsizetype at = LastEndWord(text, from);
    if (at < 0) return false;
    const qsizetype rest = at + 3;
    if (text.indexOf('\n', rest) >= 0) return true;
    const qsizetype cr = text.indexOf('\r', rest);
    return cr >= 0 && cr + 1 < text.size();
}

qsizetype EndLineRest(const QByteArray& chunk, bool* closed) {
    *closed = true;
    for (qsizetype i = 0; i < chunk.size(); ++i) {
        const char c = chunk[i];
        if (c == '%') return i;
        if (c == '\n') return i + 1;
        if (c == '\r' && i + 1 < chunk.size() && chunk[i + 1] != '\n') return i + 1;
    }
    *closed = false;
    return chunk.size();
}

qsizetype LeaderLength(const QByteArray& chunk) {
    qsizetype n = 0;
    while (n < chunk.size() && static_cast<unsigned char>(chunk[n]) < 32) ++n;
    return n;
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

QString FindIgnoringCase(const QString& path, QStringList* alternatives) {
    if (alternatives) alternatives->clear();
    const QFileInfo exact(path);
    if (exact.isFile()) return path;
    const QDir folder = exact.dir();
    QStringList matches;
    for (const QString& name : folder.entryList(QDir::Files | QDir::Hidden)) {
        if (name.compare(exact.fileName(), Qt::CaseInsensitive) == 0) matches << name;
    }
    if (matches.size() == 1) {
        return exact.path() == QStringLiteral(".") && !path.startsWith(QStringLiteral("./"))
                   ? matches[0]
                   : folder.filePath(matches[0]);
    }
    if (alternatives) *alternatives = matches;
    return {};
}

QString JoinPath(const QString& folder, const QString& name) {
    if (folder.isEmpty() || folder.endsWith('/')) return folder + name;
    return folder + '/' + name;
}

namespace {

QByteArray Local(const QString& path) { return QFile::encodeName(path); }

void WriteAll(int fd, const QByteArray& data, const QString& path, const QByteArray& operation) {
    const char* p = data.constData();
    qsizetype left = data.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, static_cast<size_t>(left));
        if (n < 0) {
            if (errno == EINTR) continue;
            throw FileError(operation, path, errno);
        }
        p += n;
        left -= n;
    }
}

}  // namespace

void WriteFileAtomic(const QString& path, const QByteArray& data) { ::WriteAtomic(path, data); }

void WriteFileAtomic(const QString& path, const QByteArray& data, const QByteArray& tail) {
    ::WriteAtomic(path, data, tail);
}

QStringList RemoveLeftTemporaries(const QString& folder) { return RemoveOrphanTemporaries(folder); }

void AppendFileSynced(const QString& path, const QByteArray& data) {
    const int fd = ::open(Local(path).constData(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    if (fd < 0) throw FileError("Schreiben", path, errno);
    try {
        WriteAll(fd, data, path, "Schreiben");
        if (::fdatasync(fd) != 0) throw FileError("Schreiben", path, errno);
    } catch (...) {
        ::close(fd);
        throw;
    }
    ::close(fd);
}

}  // namespace TransferRules
