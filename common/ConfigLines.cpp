#include "common/ConfigLines.h"

namespace ConfigLines {

QList<QByteArray> SplitLines(const QByteArray& content) {
    QList<QByteArray> lines;
    qsizetype end = content.indexOf('\x1a');
    if (end < 0) end = content.size();
    qsizetype start = 0;
    for (qsizetype i = 0; i < end; ++i) {
        const char c = content[i];
        if (c != '\n' && c != '\r') continue;
        lines.append(content.mid(start, i - start));
        if (c == '\r' && i + 1 < end && content[i + 1] == '\n') ++i;
        start = i + 1;
    }
    if (start < end) lines.append(content.mid(start, end - start));
    return lines;
}

QByteArray LineValue(const QByteArray& line) {
    const qsizetype eq = line.indexOf('=');
    return eq < 0 ? line : line.mid(eq + 1);
}

QByteArray WithoutTrailingBlanks(const QByteArray& value) {
    qsizetype end = value.size();
    while (end > 0 && (value[end - 1] == ' ' || value[end - 1] == '\t')) --end;
    return value.left(end);
}

}  // namespace ConfigLines

QByteArray LogFileNameFor(const QByteArray& cfgSend, const QByteArray& cfgLog) {
    // Empty values (no Config.ini yet) would name "/.log" in the file-system root: the
    // log then goes to the working directory under a visible name instead.
    const QByteArray name = cfgLog.isEmpty() ? QByteArray("Protokoll") : cfgLog;
    if (cfgSend.isEmpty()) return name + ".log";
    return cfgSend + "/" + name + ".log";
}
