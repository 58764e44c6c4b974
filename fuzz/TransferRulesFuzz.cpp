// The transfer text rules and the framing on any received bytes and any configured identifiers.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <vector>

#include "engine/Framing.h"
#include "engine/ProgramHeader.h"
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

std::vector<TTransmission> Frame(const QByteArray& stream, qsizetype split1, qsizetype split2,
                                 const QByteArray& prgAk) {
    TFraming framing;
    framing.SetProgramIdentifier(prgAk);
    framing.SetLimit(64);
    std::vector<TTransmission> out;
    qint64 now = 0;
    qsizetype from = 0;
    for (const qsizetype to : {split1, split2, stream.size()}) {
        framing.Feed(QByteArrayView(stream).sliced(from, to - from), now++);
        from = to;
    }
    framing.Tick(now + 3600 * 1000);
    while (auto t = framing.Next()) out.push_back(std::move(*t));
    return out;
}

// However the reads split the stream, the same transmissions; each begins with a printable
// character, and none holds a byte that did not come (but a "%" line between two programs,
// which both carry).
void CheckFraming(const QByteArray& stream, qsizetype at1, qsizetype at2, const QByteArray& prgAk) {
    const qsizetype n = stream.size();
    const qsizetype split1 = std::clamp<qsizetype>(at1, 0, n);
    const qsizetype split2 = std::clamp<qsizetype>(at2, split1, n);
    const std::vector<TTransmission> whole = Frame(stream, n, n, prgAk);
    const std::vector<TTransmission> split = Frame(stream, split1, split2, prgAk);
    FUZZ_CHECK(whole.size() == split.size());
    qsizetype total = 0;
    bool continued = false;
    for (size_t i = 0; i < whole.size() && i < split.size(); ++i) {
        FUZZ_CHECK(whole[i].kind == split[i].kind && whole[i].Text == split[i].Text);
        FUZZ_CHECK(whole[i].Spilled == continued);
        if (!continued) {
            FUZZ_CHECK(!whole[i].Text.isEmpty());
            const auto first = static_cast<unsigned char>(whole[i].Text[0]);
            FUZZ_CHECK(first >= 33 && first <= 126);
        }
        FUZZ_CHECK(whole[i].Text.size() <= 64 + 1 || whole[i].kind != TTransmission::Kind::Piece);
        continued = whole[i].kind == TTransmission::Kind::Piece;
        total += whole[i].Text.size();
    }
    FUZZ_CHECK(total <= n + qsizetype(whole.size()));
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

// A header's name stands in the text, and one that is not refused names a file in the save
// folder and nothing else.
void CheckHeader(const QByteArray& text) {
    const ProgramHeader::TName name = ProgramHeader::Find(text);
    if (name.Stem.isEmpty()) return;
    FUZZ_CHECK(text.contains(name.Stem) || text.toUpper().contains(name.Stem.toUpper()));
    if (!name.Refused.isEmpty()) return;
    const QByteArray file = name.Stem + "." + (name.Ext.isEmpty() ? "CNC" : name.Ext);
    FUZZ_CHECK(UnsafeNameReason(file).isEmpty() && !file.startsWith('.'));
    FUZZ_CHECK(
        std::none_of(file.begin(), file.end(), [](char c) { return IsControl(c) || c == ' '; }));
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
    const qsizetype at1 = in.ConsumeIntegralInRange<qsizetype>(0, 4096);
    const qsizetype at2 = in.ConsumeIntegralInRange<qsizetype>(0, 4096);
    const qsizetype limit = in.ConsumeIntegralInRange<qsizetype>(0, 256);
    const QByteArray chunk = QByteArray::fromStdString(in.ConsumeRemainingBytesAsString());

    CheckFraming(before + chunk, at1, at2, prgAk);
    CheckCall(chunk, prgAk, ak, sendName, readLength);
    CheckNames(chunk);
    CheckHeader(chunk);
    CheckTrace(chunk, limit);
    return 0;
}
