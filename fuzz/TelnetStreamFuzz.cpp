// What a serial device server sends over the telnet COM port option: any bytes are taken
// apart without fault, cut anywhere they give the same data, answers and replies as whole,
// and the agreement on the line asks for the settings once, after the greeting.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <vector>

#include "fuzz/FuzzCheck.h"
#include "serial/Rfc2217Negotiation.h"

using namespace Rfc2217;

namespace {

struct TParsed {
    QByteArray Data, Answers;
    std::vector<TReply> Replies;
};

TParsed Parse(QByteArrayView stream, const std::vector<qsizetype>& cuts) {
    TTelnetParser parser;
    TParsed out;
    qsizetype from = 0;
    auto feed = [&](qsizetype to) {
        parser.Feed(stream.sliced(from, to - from), out.Data);
        out.Answers += parser.TakeAnswers();
        for (TReply& reply : parser.TakeReplies()) out.Replies.push_back(std::move(reply));
        from = to;
    };
    for (const qsizetype cut : cuts) feed(cut);
    feed(stream.size());
    return out;
}

struct TAgreement {
    TNegotiation::TState State;
    TPortSetting Setting;
    QByteArray Sent, Data;
};

TAgreement Agree(const TLineSettings& line, QByteArrayView stream,
                 const std::vector<qsizetype>& cuts) {
    TNegotiation negotiation(line, 0, 500);
    TAgreement out;
    qsizetype from = 0;
    auto feed = [&](qsizetype to) {
        out.Sent += negotiation.TakeOutput();
        negotiation.Feed(stream.sliced(from, to - from), out.Data);
        from = to;
    };
    for (const qsizetype cut : cuts) feed(cut);
    feed(stream.size());
    out.Sent += negotiation.TakeOutput();
    out.State = negotiation.State();
    out.Setting = negotiation.Failure().Setting;
    return out;
}

bool SameReplies(const std::vector<TReply>& a, const std::vector<TReply>& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (a[i].Command != b[i].Command || a[i].Value != b[i].Value) return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    FuzzedDataProvider in(bytes, size);
    TLineSettings line;
    line.Rate = in.ConsumeIntegral<quint32>();
    line.DataBits = TDataBits(in.ConsumeIntegralInRange<int>(db_5, db_8));
    line.Parity = TParityBit(in.ConsumeIntegralInRange<int>(none, space));
    line.Stop = TStopBits(in.ConsumeIntegralInRange<int>(sb_1, sb_2));
    line.RtsCts = in.ConsumeBool();
    line.XonXoff = in.ConsumeBool();
    std::vector<qsizetype> cuts;
    const int pieces = in.ConsumeIntegralInRange<int>(0, 8);
    const std::string rest = in.ConsumeRemainingBytesAsString();
    const QByteArrayView stream(rest.data(), qsizetype(rest.size()));
    for (int k = 0; k < pieces && !stream.isEmpty(); ++k)
        cuts.push_back(qsizetype((quint64(k + 1) * 7919 + quint8(stream[k % stream.size()])) %
                                 quint64(stream.size())));
    std::sort(cuts.begin(), cuts.end());

    const TParsed whole = Parse(stream, {});
    const TParsed split = Parse(stream, cuts);
    FUZZ_CHECK(split.Data == whole.Data);
    FUZZ_CHECK(split.Answers == whole.Answers);
    FUZZ_CHECK(SameReplies(split.Replies, whole.Replies));
    FUZZ_CHECK(whole.Data.size() <= stream.size());

    // A reply counts only after the settings went, and they go once the option was taken at
    // the end of a read: the outcome may depend on the cuts, what is sent may not break.
    for (const auto& at : {std::vector<qsizetype>{}, cuts}) {
        const TAgreement agreement = Agree(line, stream, at);
        FUZZ_CHECK(agreement.Sent.startsWith(Greeting()));
        FUZZ_CHECK(agreement.Sent.count(Settings(line)) <= 1);
        if (agreement.State == TNegotiation::Agreed)
            FUZZ_CHECK(agreement.Sent.count(Settings(line)) == 1);
        if (agreement.State == TNegotiation::Failed) FUZZ_CHECK(agreement.Setting != psNone);
    }
    return 0;
}
