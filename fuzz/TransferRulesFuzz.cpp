// The transfer text rules on any received bytes and any configured identifiers.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>

#include "engine/TransferRules.h"
#include "fuzz/FuzzCheck.h"

using namespace TransferRules;

namespace {

QByteArray Bytes(FuzzedDataProvider& in, size_t max) {
    return QByteArray::fromStdString(in.ConsumeRandomLengthString(max));
}

bool Contains(const QByteArray& text, const char* word) {
    return text.contains(word) || text.toUpper().contains(word);
}

bool IsControl(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte < 32 || byte == 127;
}

void CheckEndWord(const QByteArray& before, const QByteArray& chunk, qsizetype from) {
    const bool has = HasEndWord(chunk);
    FUZZ_CHECK(has == (Contains(chunk, "M30") || Contains(chunk, "M02")));
    // Split over two reads it counts once the chunk completes it.
    FUZZ_CHECK(EndWordInRead(before, chunk) ==
               (!chunk.isEmpty() && HasEndWord(before.right(2) + chunk)));
    if (EndLineClosed(chunk, from)) {
        FUZZ_CHECK(HasEndWord(chunk.mid(std::max<qsizetype>(from, 0))));
    }

    bool closed = false;
    const qsizetype rest = EndLineRest(chunk, &closed);
    FUZZ_CHECK(rest >= 0 && rest <= chunk.size());
    const QByteArray line = chunk.left(rest);
    FUZZ_CHECK(!line.contains('%'));
    FUZZ_CHECK(!line.chopped(line.isEmpty() ? 0 : 1).contains('\n'));
    if (!closed) FUZZ_CHECK(rest == chunk.size() && !chunk.contains('\n'));

    const qsizetype leader = LeaderLength(chunk);
    FUZZ_CHECK(leader >= 0 && leader <= chunk.size());
    for (qsizetype i = 0; i < leader; ++i) FUZZ_CHECK(static_cast<unsigned char>(chunk[i]) < 32);
    if (leader < chunk.size()) FUZZ_CHECK(static_cast<unsigned char>(chunk[leader]) >= 32);
}

void CheckCall(const QByteArray& completed, const QByteArray& prgAk, const QByteArray& ak,
               const QByteArray& sendName, int readLength) {
    const QByteArray leading = LeadingPart(completed, prgAk);
    FUZZ_CHECK(completed.startsWith(leading));

    QByteArray number = "keep";
    if (CallNumber(completed, ak, &number)) {
        FUZZ_CHECK(number.size() <= 4 && completed.contains(number));
    } else {
        FUZZ_CHECK(number == "keep");
    }
    number = "keep";
    if (CallNumberProblem(completed, ak, &number).isEmpty()) {
        FUZZ_CHECK(number.size() == 4 && UnsafeNameReason(number).isEmpty());
        for (const char c : number) FUZZ_CHECK(c != ' ' && !IsControl(c));
    }

    const int decided = int(Decide(leading, CallHead(prgAk), sendName, readLength, prgAk));
    FUZZ_CHECK(decided >= 1 && decided <= 7);
}

void CheckNames(const QByteArray& text) {
    bool keyword = false;
    const QByteArray name = DfsName(text, &keyword);
    FUZZ_CHECK(name.size() <= 9 && !name.contains(','));
    FUZZ_CHECK(keyword == Contains(text, "DFS,"));
    if (!name.isEmpty())
        FUZZ_CHECK(keyword && text.toUpper().contains("DFS," + name.toUpper() + ","));

    for (const QByteArray& candidate : {text.left(32), name}) {
        if (!UnsafeNameReason(candidate).isEmpty()) continue;
        FUZZ_CHECK(!candidate.isEmpty() && candidate != "." && !candidate.contains(".."));
        FUZZ_CHECK(!candidate.contains('/') && !candidate.contains('\\'));
        FUZZ_CHECK(std::none_of(candidate.begin(), candidate.end(), IsControl));
    }
}

void CheckTrace(const QByteArray& text, qsizetype limit) {
    const QByteArray shown = ForTrace(text, limit);
    if (text.size() <= limit) {
        FUZZ_CHECK(shown == text);
    } else {
        FUZZ_CHECK(shown.startsWith(text.left(limit)) && shown.size() > limit);
        FUZZ_CHECK(shown.contains(QByteArray::number(text.size())));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    const QByteArray prgAk = Bytes(in, 8);
    const QByteArray ak = Bytes(in, 4);
    const QByteArray sendName = Bytes(in, 16);
    const QByteArray before = Bytes(in, 8);
    const int readLength = in.ConsumeIntegralInRange<int>(-1, 1 << 20);
    const qsizetype from = in.ConsumeIntegralInRange<qsizetype>(-2, 4096);
    const qsizetype limit = in.ConsumeIntegralInRange<qsizetype>(0, 256);
    const QByteArray chunk = QByteArray::fromStdString(in.ConsumeRemainingBytesAsString());

    CheckEndWord(before, chunk, from);
    CheckCall(chunk, prgAk, ak, sendName, readLength);
    CheckNames(chunk);
    CheckTrace(chunk, limit);
    return 0;
}
