#include "common/TextFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/Ansi.h"
#include "common/Errors.h"

namespace TextFile {

QList<Span> LineSpans(const QByteArray& content) {
    QList<Span> spans;
    const char* const begin = content.constData();
    const char* const end = begin + content.size();
    const char* p = begin;
    while (p < end) {
        if (*p == kCtrlZ) break;  // at the start of a line it ends the text
        const char* lf = static_cast<const char*>(std::memchr(p, '\n', end - p));
        const char* lineEnd = lf ? lf : end;
        const char* next = lf ? lf + 1 : end;
        const char* cut = static_cast<const char*>(std::memchr(p, kCtrlZ, lineEnd - p));
        if (cut) {
            lineEnd = cut;  // the rest of the line up to its line end is skipped
        } else if (lf && lineEnd > p && lineEnd[-1] == '\r') {
            --lineEnd;  // CR LF
        }
        spans.append({p - begin, lineEnd - p});
        p = next;
    }
    return spans;
}

QList<QByteArray> SplitLines(const QByteArray& content) {
    QList<QByteArray> lines;
    for (const Span& s : LineSpans(content)) lines.append(content.mid(s.Begin, s.Length));
    return lines;
}

QByteArray ReadAll(const QString& path, bool* opened) {
    const QByteArray native = path.toLocal8Bit();
    const int fd = ::open(native.constData(), O_RDONLY | O_CLOEXEC);
    if (opened) *opened = fd >= 0;
    if (fd < 0) throw FileError(Ansi::Lit("Datei öffnen"), path, errno);
    QByteArray content;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
        content.reserve(static_cast<qsizetype>(st.st_size));
    }
    char chunk[65536];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n > 0) {
            content.append(chunk, n);
        } else if (n == 0) {
            break;
        } else if (errno != EINTR) {
            const int err = errno;
            ::close(fd);
            throw FileError(Ansi::Lit("Datei lesen"), path, err);
        }
    }
    ::close(fd);
    return content;
}

QList<QByteArray> ReadLines(const QString& path) { return SplitLines(ReadAll(path)); }

}  // namespace TextFile
