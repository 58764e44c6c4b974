// The request parser: any bytes are taken without fault, the requests do not depend on how
// the bytes are cut into reads, a head is never longer than its limit, a body is exactly as
// long as its Content-Length, and a refusal is one of the statuses the server sends.
#include <fuzzer/FuzzedDataProvider.h>

#include <QList>

#include "fuzz/FuzzCheck.h"
#include "tests/web/HttpFeed.h"
#include "web/HttpParser.h"

namespace {

struct TSeen {
    QList<QByteArray> requests;  // method, target, body of each complete request
    int error = 0;
};

TSeen Parse(const QByteArray& stream, const QList<qsizetype>& cuts) {
    THttpParser::Limits limits;
    limits.maxHead = 512;
    limits.maxHeaders = 8;
    THttpParser parser(limits);
    TSeen seen;
    FeedInReads(parser, stream, cuts, [&](THttpParser::Event e) {
        if (e == THttpParser::Event::Error) {
            seen.error = parser.ErrorStatus();
            return;
        }
        const THttpRequest& r = parser.Request();
        FUZZ_CHECK(r.contentLength >= 0);
        FUZZ_CHECK(r.target.startsWith('/') && !r.method.isEmpty());
        if (e == THttpParser::Event::Complete) {
            FUZZ_CHECK(r.body.size() == r.contentLength);
            FUZZ_CHECK(r.Header("transfer-encoding").isNull());
            r.Segments();
            r.Query("limit");
            seen.requests.append(r.method + ' ' + r.target + '\n' + r.body);
        }
    });
    return seen;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    const int pieces = in.ConsumeIntegralInRange<int>(0, 6);
    const QByteArray stream = QByteArray::fromStdString(in.ConsumeRemainingBytesAsString());
    const TSeen whole = Parse(stream, {});
    FUZZ_CHECK(whole.error == 0 || whole.error == 400 || whole.error == 411 || whole.error == 431 ||
               whole.error == 505);
    // The same bytes cut at spread-out places: the same requests, the same refusal.
    QList<qsizetype> cuts;
    for (int i = 1; i <= pieces && stream.size() > 1; ++i) {
        cuts.append(stream.size() * i / (pieces + 1));
    }
    const TSeen split = Parse(stream, cuts);
    FUZZ_CHECK(split.requests == whole.requests);
    FUZZ_CHECK(split.error == whole.error);
    return 0;
}
