#pragma once
// Feeds a byte stream to a request parser the way a connection does, in reads cut at the
// given positions, so that a test or the fuzz harness can compare every cut with the whole.
#include <QByteArray>
#include <QByteArrayView>
#include <QList>

#include "web/HttpParser.h"

// Hands each event to seen (which may look at parser.Request()); after a complete request
// the parser is reset for the next, and an error ends the stream.
template <typename TSeen>
void FeedInReads(THttpParser& parser, const QByteArray& stream, const QList<qsizetype>& cuts,
                 TSeen&& seen) {
    qsizetype at = 0;
    QList<qsizetype> ends = cuts;
    ends.append(stream.size());
    for (qsizetype end : ends) {
        parser.Feed(QByteArrayView(stream).sliced(at, end - at));
        at = end;
        for (auto e = parser.Next(); e != THttpParser::Event::None; e = parser.Next()) {
            seen(e);
            if (e == THttpParser::Event::Error) return;
            if (e == THttpParser::Event::Complete) parser.Reset();
        }
    }
}
