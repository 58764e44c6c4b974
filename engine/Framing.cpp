#include "engine/Framing.h"

#include <algorithm>
#include <utility>

#include "engine/TransferRules.h"

namespace {

bool Printable(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte >= 33 && byte <= 126;
}

bool LetterOrDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

char Upper(char c) { return c >= 'a' && c <= 'z' ? char(c - 32) : c; }

}  // namespace

void TFraming::SetTimes(qint64 quietMs, qint64 trailerMs) {
    quietMs_ = std::max<qint64>(quietMs, 1);
    trailerMs_ = std::max<qint64>(trailerMs, 1);
}

void TFraming::Feed(QByteArrayView bytes, qint64 nowMs) {
    // A pause that ended something ended it before these bytes came.
    Tick(nowMs);
    for (const char c : bytes) Take(c, nowMs);
}

void TFraming::Tick(qint64 nowMs) {
    switch (state_) {
        case State::Text:
            if (endOnLine_) {
                if (nowMs >= lastByteMs_ + trailerMs_) EndByEndLine(lastByteMs_);
            } else if (!away_ && nowMs >= lastByteMs_ + quietMs_) {
                EndQuiet();
            }
            break;
        case State::EndCr:
            if (nowMs >= lastByteMs_ + trailerMs_) EndByEndLine(lastByteMs_);
            break;
        case State::PercentLine:
            if (nowMs >= lastByteMs_ + trailerMs_) EndHere();
            break;
        default:
            break;
    }
    if ((state_ == State::AfterEnd || state_ == State::AfterEndPercent) &&
        nowMs >= endedMs_ + trailerMs_) {
        // A "%" within the trailer time, and nothing printable after it: its tape end.
        FlushLast(state_ == State::AfterEndPercent);
    }
}

void TFraming::Cut(qint64 nowMs) {
    Tick(nowMs);
    // What only waited for its trailer is decided now: no more of it comes from this device.
    switch (state_) {
        case State::Text:
            if (endOnLine_) {
                EndByEndLine(nowMs);
                FlushLast(false);
            } else {
                cut_ = true;
                afterCut_ = true;
                away_ = true;
                cutHold_.clear();
            }
            break;
        case State::EndCr:
            EndByEndLine(nowMs);
            FlushLast(false);
            break;
        case State::PercentLine:
            EndHere();
            break;
        case State::AfterEnd:
            FlushLast(false);
            break;
        case State::AfterEndPercent:
            FlushLast(true);
            break;
        case State::Idle:
            break;
    }
}

void TFraming::Resumed(qint64 nowMs) {
    if (!away_) return;
    away_ = false;
    lastByteMs_ = nowMs;
}

void TFraming::Reset() {
    state_ = State::Idle;
    held_.clear();
    last_ = {};
    lastGiven_ = false;
    percent_.clear();
    Start();
}

std::optional<TTransmission> TFraming::Next() {
    if (out_.empty()) return std::nullopt;
    TTransmission t = std::move(out_.front());
    out_.pop_front();
    return t;
}

qint64 TFraming::Deadline() const {
    switch (state_) {
        case State::Idle:
            return -1;
        case State::Text:
            if (away_ && !endOnLine_) return -1;
            return lastByteMs_ + (endOnLine_ ? trailerMs_ : quietMs_);
        case State::EndCr:
        case State::PercentLine:
            return lastByteMs_ + trailerMs_;
        case State::AfterEnd:
        case State::AfterEndPercent:
            return endedMs_ + trailerMs_;
    }
    return -1;
}

bool TFraming::Settling() const {
    return state_ == State::EndCr || state_ == State::PercentLine || state_ == State::AfterEnd ||
           state_ == State::AfterEndPercent || (state_ == State::Text && endOnLine_);
}

void TFraming::Take(char c, qint64 now) {
    switch (state_) {
        case State::Idle:
            if (!Printable(c)) return;  // leader
            Begin(now);
            TakeText(c, now);
            return;
        case State::Text:
            if (afterCut_) {
                TakeAfterCut(c, now);
            } else {
                TakeText(c, now);
            }
            return;
        case State::EndCr:
            if (c == '\n') {
                held_ += c;
                EndByEndLine(now);
                return;
            }
            EndByEndLine(now);  // a lone CR ended the line
            Take(c, now);
            return;
        case State::PercentLine:
            if (Printable(c) || c == ' ') {
                state_ = State::Text;  // more on the line: the "%" was text
                TakeText(c, now);
                return;
            }
            EndHere();
            return;  // its line end or trailer: a leader of whatever comes next
        case State::AfterEnd:
            if (c == '%') {
                percent_ = "%";
                state_ = State::AfterEndPercent;
            } else if (Printable(c)) {
                FlushLast(false);
                Take(c, now);
            }
            return;  // control bytes: trailer
        case State::AfterEndPercent:
            if (c == '%') {
                // "%%Prg...": the first one was the tape end, the second begins what follows.
                FlushLast(true);
                Take(c, now);
            } else if (Printable(c)) {
                // "%Prg...", or a "%" line and then text: the next transmission begins with it.
                const QByteArray begun = std::exchange(percent_, QByteArray());
                FlushLast(false);
                Begin(now);
                for (const char p : begun) TakeText(p, now);
                TakeText(c, now);
            } else if (c == '\r' || c == '\n' || c == ' ') {
                percent_ += c;
            } else {
                FlushLast(true);  // DC4, NUL: the tape end's trailer
            }
            return;
    }
}

void TFraming::TakeText(char c, qint64 now) {
    lastByteMs_ = now;
    held_ += c;
    if (endOnLine_) {
        if (c == '\n') {
            EndByEndLine(now);
        } else if (c == '\r') {
            state_ = State::EndCr;
        } else if (c == '%') {
            // The next transmission, or a tape end, right after the end word.
            held_.chop(1);
            EndByEndLine(now);
            Take(c, now);
        } else if (++afterEndWord_ >= kEndLineLimit) {
            EndByEndLine(now);
        } else {
            SpillIfOver();
        }
        return;
    }
    if (c == '\r' || c == '\n') {
        NewLine();
        SpillIfOver();
        return;
    }
    if (lineStart_ && c == '%' && hasText_) {
        lineStart_ = false;
        state_ = State::PercentLine;
        return;
    }
    lineStart_ = false;
    if (c == '(') {
        inComment_ = true;
        before1_ = before2_ = 0;
    } else if (c == ')') {
        inComment_ = false;
        before1_ = before2_ = 0;
    } else if (!inComment_) {
        const char u = Upper(c);
        if (before2_ == 'M' && ((before1_ == '3' && u == '0') || (before1_ == '0' && u == '2'))) {
            endOnLine_ = true;
            afterEndWord_ = 0;
        }
        before2_ = before1_;
        before1_ = u;
    }
    if (!hasText_ && LetterOrDigit(c)) hasText_ = true;
    SpillIfOver();
}

void TFraming::TakeAfterCut(char c, qint64 now) {
    lastByteMs_ = now;
    away_ = false;
    if (!Printable(c) && cutHold_.size() < kEndLineLimit) {
        cutHold_ += c;
        return;
    }
    afterCut_ = false;
    const QByteArray hold = std::exchange(cutHold_, QByteArray());
    if (c == '%') {
        // The control starts anew: the cut transmission ends before it.
        Finish(TTransmission::Kind::Incomplete);
        Take(c, now);
        return;
    }
    for (const char h : hold) TakeText(h, now);
    TakeText(c, now);
}

void TFraming::Begin(qint64 now) {
    Start();
    follows_ = lastEndMs_ >= 0 && now <= lastEndMs_ + trailerMs_;
    state_ = State::Text;
}

void TFraming::Start() {
    held_.clear();
    hasText_ = false;
    spilled_ = false;
    cut_ = false;
    afterCut_ = false;
    away_ = false;
    cutHold_.clear();
    NewLine();
}

void TFraming::NewLine() {
    lineStart_ = true;
    inComment_ = false;
    before1_ = before2_ = 0;
    endOnLine_ = false;
    afterEndWord_ = 0;
}

void TFraming::EndByEndLine(qint64 endedMs) {
    TTransmission t;
    t.kind = cut_ ? TTransmission::Kind::Incomplete : TTransmission::Kind::Complete;
    t.Text = std::exchange(held_, QByteArray());
    t.Cut = cut_;
    t.Spilled = spilled_;
    t.Follows = follows_;
    // A call is answered at once; whatever tape end follows it is dropped.
    lastGiven_ = !cut_ && !spilled_ && TransferRules::IsCallText(t.Text, prgAk_);
    if (lastGiven_) {
        out_.push_back(std::move(t));
        last_ = {};
    } else {
        last_ = std::move(t);
    }
    endedMs_ = endedMs;
    lastEndMs_ = endedMs;
    percent_.clear();
    state_ = State::AfterEnd;
    Start();
}

void TFraming::EndHere() {
    lastEndMs_ = lastByteMs_;
    Finish(cut_ ? TTransmission::Kind::Incomplete : TTransmission::Kind::Complete);
}

void TFraming::EndQuiet() {
    held_ += std::exchange(cutHold_, QByteArray());  // nothing that came is lost
    const bool keep = cut_ || spilled_ || hasText_;
    Finish(keep ? TTransmission::Kind::Incomplete : TTransmission::Kind::Dropped);
}

void TFraming::Finish(TTransmission::Kind kind) {
    TTransmission t;
    t.kind = kind;
    t.Text = std::exchange(held_, QByteArray());
    t.Cut = cut_;
    t.Spilled = spilled_;
    t.Follows = follows_;
    out_.push_back(std::move(t));
    state_ = State::Idle;
    Start();
}

void TFraming::FlushLast(bool tapeEnd) {
    if (!lastGiven_) {
        if (tapeEnd) last_.Text += '%';
        out_.push_back(std::move(last_));
    }
    last_ = {};
    lastGiven_ = false;
    percent_.clear();
    state_ = State::Idle;
}

void TFraming::SpillIfOver() {
    if (state_ != State::Text || held_.size() <= limit_) return;
    TTransmission piece;
    piece.kind = TTransmission::Kind::Piece;
    piece.Text = std::exchange(held_, QByteArray());
    piece.Spilled = spilled_;
    piece.Cut = cut_;
    piece.Follows = follows_;
    out_.push_back(std::move(piece));
    spilled_ = true;
}
