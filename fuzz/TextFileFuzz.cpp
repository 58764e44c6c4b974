// The line reader of program files: spans lie inside the content in order, hold no line
// end, and SplitLines gives exactly their bytes.
#include "common/TextFile.h"
#include "fuzz/FuzzCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray content(reinterpret_cast<const char*>(data), qsizetype(size));
    const QList<TextFile::Span> spans = TextFile::LineSpans(content);
    const QList<QByteArray> lines = TextFile::SplitLines(content);
    FUZZ_CHECK(lines.size() == spans.size());

    qsizetype next = 0;  // where the next line may begin at the earliest
    for (qsizetype i = 0; i < spans.size(); ++i) {
        const TextFile::Span& s = spans[i];
        FUZZ_CHECK(s.Begin >= next && s.Length >= 0 && s.Begin + s.Length <= content.size());
        const QByteArray line = content.mid(s.Begin, s.Length);
        FUZZ_CHECK(lines[i] == line);
        FUZZ_CHECK(!line.contains('\n') && !line.contains(TextFile::kCtrlZ));
        // Each line but the last ends at an LF; a line starts right after the one before it.
        FUZZ_CHECK(s.Begin == 0 || content[s.Begin - 1] == '\n');
        const qsizetype lf = content.indexOf('\n', s.Begin);
        next = lf < 0 ? content.size() : lf + 1;
        if (i + 1 < spans.size()) FUZZ_CHECK(lf >= 0 && spans[i + 1].Begin == lf + 1);
    }
    // The text goes on to the end unless a Ctrl-Z starts a line.
    if (next < content.size()) FUZZ_CHECK(content[next] == TextFile::kCtrlZ);
    if (spans.isEmpty() && !content.isEmpty()) FUZZ_CHECK(content[0] == TextFile::kCtrlZ);
    return 0;
}
