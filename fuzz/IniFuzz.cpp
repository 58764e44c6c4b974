// The ini text of SerDemo.ini: reading any text is safe, and a value set is read back while
// every other line of the file stays byte for byte.
#include <fuzzer/FuzzedDataProvider.h>

#include <QList>

#include "engine/IniFile.h"
#include "fuzz/FuzzCheck.h"

namespace {

struct Line {
    QByteArray text, end;
    bool operator==(const Line&) const = default;
};

// The file's lines with their ends ("\n", "\r\n" or none for the last).
QList<Line> Lines(const QByteArray& content) {
    QList<Line> lines;
    qsizetype start = 0;
    while (start < content.size()) {
        qsizetype lf = content.indexOf('\n', start);
        if (lf < 0) {
            lines.append({content.mid(start), {}});
            break;
        }
        const bool cr = lf > start && content[lf - 1] == '\r';
        lines.append({content.mid(start, lf - start - (cr ? 1 : 0)), cr ? "\r\n" : "\n"});
        start = lf + 1;
    }
    return lines;
}

QByteArray Bytes(FuzzedDataProvider& in, size_t max) {
    return QByteArray::fromStdString(in.ConsumeRandomLengthString(max));
}

// Names the callers use: one line, no blanks around them, a key without "=" that does not
// look like a section, a section without "]".
bool UsableName(const QByteArray& name) {
    return !name.isEmpty() && name.trimmed() == name && !name.contains('\n') &&
           !name.contains('\r');
}

// old and updated differ only in the one entry (changed in place or added), plus a line end
// for a last line that had none, plus a new section header before an added entry at the end.
void CheckOtherLinesKept(const QByteArray& old, const QByteArray& updated,
                         const QByteArray& section, const QByteArray& key,
                         const QByteArray& value) {
    const QList<Line> a = Lines(old), b = Lines(updated);
    if (b.size() == a.size()) {
        int changed = 0;
        for (qsizetype i = 0; i < a.size(); ++i) {
            if (a[i] == b[i]) continue;
            ++changed;
            const qsizetype eq = a[i].text.indexOf('=');
            FUZZ_CHECK(eq > 0);
            FUZZ_CHECK(b[i].text == a[i].text.left(eq + 1) + value && b[i].end == a[i].end);
        }
        FUZZ_CHECK(changed <= 1);
        return;
    }
    const qsizetype added = b.size() - a.size();
    FUZZ_CHECK(added == 1 || added == 2);
    // The added lines stand where the lists part; an old last line may have gained a line
    // end (after a lone CR at its end, that CR and the LF then read as one CR LF).
    qsizetype at = 0;
    while (at < a.size() && a[at] == b[at]) ++at;
    if (at == a.size() - 1 && a[at].end.isEmpty()) {
        const QByteArray joined = b[at].text + b[at].end;
        if (joined == a[at].text + "\n" || joined == a[at].text + "\r\n") ++at;
    }
    if (added == 2) {
        FUZZ_CHECK(at == a.size());
        FUZZ_CHECK(b[at].text == "[" + section + "]");
    }
    const Line& entry = b[at + added - 1];
    FUZZ_CHECK(entry.text == key + "=" + value && !entry.end.isEmpty());
    for (qsizetype i = at; i < a.size(); ++i) FUZZ_CHECK(a[i] == b[i + added]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    const QByteArray section = Bytes(in, 16);
    const QByteArray key = Bytes(in, 16);
    const QByteArray value = Bytes(in, 64);
    const QByteArray content = QByteArray::fromStdString(in.ConsumeRemainingBytesAsString());

    const QByteArray got = IniGet(content, section, key, "default");
    FUZZ_CHECK(got == "default" || content.contains(got));
    const QByteArray updated = IniSet(content, section, key, value);

    if (!UsableName(section) || section.contains(']')) return 0;
    if (!UsableName(key) || key.contains('=') || key.startsWith('[')) return 0;
    if (value.contains('\n') || value.contains('\r')) return 0;
    FUZZ_CHECK(IniGet(updated, section, key, "default") == value.trimmed());
    CheckOtherLinesKept(content, updated, section, key, value);
    // Setting it again changes nothing more.
    FUZZ_CHECK(IniSet(updated, section, key, value) == updated);
    return 0;
}
