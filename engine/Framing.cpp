#include "engine/Framing.h"

#include <algorithm>
#include <utility>

#include "engine/ProgramHeader.h"
#include "engine/TransferRules.h"

namespace {

using ProgramHeader::TLineStart;

bool Printable(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte >= 33 && byte <= 126;
}

bool Letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool Digit(char c) { return c >= '0' && c <= '9'; }
bool LetterOrDigit(char c) { return Letter(c) || Digit(c); }
bool LineEnd(char c) { return c == '\r' || c == '\n'; }
// Control bytes that end an end line's text: anything below the blank but a tab and line ends.
bool Trailer(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return (byte < 32 && c != '\t' && !LineEnd(c)) || byte == 127;
}

// A "%" directly followed by this begins a header: "%Prg", "%_N_", "%4711 G71 *".
bool HeadAfterPercent(char c) { return LetterOrDigit(c) || c == '_'; }

char Upper(char c) { return c >= 'a' && c <= 'z' ? char(c - 32) : c; }

// The words of a subprogram's return, after which a header begins the next program.
bool ReturnWord(const QByteArray& word) {
    return word == "M99" || word == "M17" || word == "M2" || word == "RTS" || word == "RET";
}

// Enough of the last characters for "END PGM" and the one before it.
constexpr qsizetype kRecent = 8;
// A Heidenhain ISO program's end line begins so.
constexpr char kIsoEnd[] = "N99999999 ";
// Enough of a first line to tell a Heidenhain header.
constexpr qsizetype kFirstLine = 80;
// A tape end's line end and blanks kept for what may follow it, at most.
constexpr qsizetype kTapeEndLimit = 64;

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
            if (probe_.startsWith('%')) {
                if (nowMs >= lastByteMs_ + trailerMs_) DecideLineStart(lastByteMs_, true);
            } else if (endOnLine_) {
                if (nowMs >= lastByteMs_ + trailerMs_) EndByEndLine(lastByteMs_);
            } else if (!away_ && nowMs >= lastByteMs_ + quietMs_) {
                EndQuiet();
            }
            break;
        case State::EndCr:
            if (nowMs >= lastByteMs_ + trailerMs_) EndByEndLine(lastByteMs_);
            break;
        default:
            break;
    }
    if ((state_ == State::AfterEnd || state_ == State::AfterEndPercent) &&
        nowMs >= endedMs_ + trailerMs_) {
        // Nothing printable after it within the trailer time: a "%" is its tape end, which may
        // still begin what follows.
        if (percent_ == "%") {
            FlushLast(percent_);
            KeepTapeEnd("%");
        } else {
            FlushLast(percent_);
        }
    }
    if (state_ == State::TapeEnd && nowMs >= lastByteMs_ + quietMs_) {
        tapeEnd_.clear();
        state_ = State::Idle;
    }
}

void TFraming::Cut(qint64 nowMs) {
    Tick(nowMs);
    // What only waited for its trailer is decided now: no more of it comes from this device.
    if (state_ == State::Text && !probe_.isEmpty()) DecideLineStart(nowMs, true);
    switch (state_) {
        case State::Text:
            if (endOnLine_) {
                EndByEndLine(nowMs);
                FlushLast({});
            } else {
                cut_ = true;
                afterCut_ = true;
                away_ = true;
                cutHold_.clear();
            }
            break;
        case State::EndCr:
            EndByEndLine(nowMs);
            FlushLast({});
            break;
        case State::AfterEnd:
        case State::AfterEndPercent:
            FlushLast(percent_);
            break;
        case State::TapeEnd:
            tapeEnd_.clear();
            state_ = State::Idle;
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
    tapeEnd_.clear();
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
            if (probe_.startsWith('%')) return lastByteMs_ + trailerMs_;
            if (away_ && !endOnLine_) return -1;
            return lastByteMs_ + (endOnLine_ ? trailerMs_ : quietMs_);
        case State::EndCr:
            return lastByteMs_ + trailerMs_;
        case State::AfterEnd:
        case State::AfterEndPercent:
            return endedMs_ + trailerMs_;
        case State::TapeEnd:
            return lastByteMs_ + quietMs_;
    }
    return -1;
}

bool TFraming::Settling() const {
    return state_ == State::EndCr || state_ == State::AfterEnd ||
           state_ == State::AfterEndPercent ||
           (state_ == State::Text && (endOnLine_ || probe_.startsWith('%')));
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
        case State::AfterEnd:
            if (c == '%') {
                percent_ = "%";
                lastByteMs_ = now;
                state_ = State::AfterEndPercent;
            } else if (Printable(c)) {
                FlushLast({});
                Take(c, now);
            }
            return;  // control bytes and line ends: trailer
        case State::AfterEndPercent:
            lastByteMs_ = now;
            if (percent_ == "%" && c == '%') {
                percent_ = "%%";
            } else if (HeadAfterPercent(c)) {
                // "%Prg...", "%_N_...", "%4711 G71": the next transmission begins with the "%".
                // After "%%" the first one was the tape end.
                const QByteArray tapeEnd = percent_.chopped(1);
                FlushLast(tapeEnd);
                Begin(now);
                TakeText('%', now);
                TakeText(c, now);
            } else if (Printable(c) && c != '%') {
                // "%$TEIL2.MIN%": a tape end, and the next header.
                FlushLast(percent_);
                Take(c, now);
            } else if (percent_ == "%" && (LineEnd(c) || c == ' ')) {
                FlushLast(percent_);
                KeepTapeEnd(QByteArray("%") + c);
            } else {
                // DC4, NUL, ETX: the tape end's trailer; or a "%" after "%%", which begins
                // what follows.
                FlushLast(percent_);
                if (c == '%') Take(c, now);
            }
            return;
        case State::TapeEnd:
            if (LineEnd(c) || c == ' ') {
                lastByteMs_ = now;
                if (tapeEnd_.size() < kTapeEndLimit) tapeEnd_ += c;
            } else if (Printable(c) && c != '%' && (tapeEnd_ != "%" || HeadAfterPercent(c))) {
                // Text after the tape end: the next transmission, which begins with it.
                const QByteArray begun = std::exchange(tapeEnd_, QByteArray());
                Begin(now);
                for (const char p : begun) TakeText(p, now);
                TakeText(c, now);
            } else {
                // A "%" of its own, a trailer, or a header that needs no "%" ("$TEIL1.MIN%"):
                // the tape end began nothing.
                tapeEnd_.clear();
                state_ = State::Idle;
                Take(c, now);
            }
            return;
    }
}

void TFraming::TakeText(char c, qint64 now) {
    lastByteMs_ = now;
    if (!probe_.isEmpty()) {
        probe_ += c;
        DecideLineStart(now, false);
        return;
    }
    if (endOnLine_) {
        TakeEndLine(c, now);
        return;
    }
    if (LineEnd(c)) {
        held_ += c;
        EndLine();
        SpillIfOver();
        return;
    }
    // What a line after program text begins with may end this transmission or begin the next.
    if (lineStart_ && hasText_ && !lineProbed_ && (c == '%' || (afterReturn_ && !heidenhain_))) {
        probe_ = QByteArray(1, c);
        DecideLineStart(now, false);
        return;
    }
    lineStart_ = false;
    held_ += c;
    if (!dialectKnown_ && firstLine_.size() < kFirstLine) firstLine_ += c;
    if (lineHead_.size() < qsizetype(sizeof kIsoEnd) - 1) {
        lineHead_ += Upper(c);
        if (lineHead_ == kIsoEnd) {
            endOnLine_ = true;
            endKeepsPercent_ = true;
            afterEndWord_ = 0;
        }
    }
    Scan(c);
    if (!hasText_ && LetterOrDigit(c)) hasText_ = true;
    SpillIfOver();
}

void TFraming::TakeEndLine(char c, qint64 now) {
    if (c == '\n') {
        held_ += c;
        EndByEndLine(now);
    } else if (c == '\r') {
        held_ += c;
        state_ = State::EndCr;
    } else if ((c == '%' && !endKeepsPercent_) || Trailer(c)) {
        // The next transmission, a tape end or a trailer, right after the end line's text.
        EndByEndLine(now);
        Take(c, now);
    } else {
        held_ += c;
        if (++afterEndWord_ >= kEndLineLimit) {
            EndByEndLine(now);
        } else {
            SpillIfOver();
        }
    }
}

void TFraming::DecideLineStart(qint64 now, bool force) {
    TLineStart what = ProgramHeader::ClassifyLineStart(probe_, afterReturn_ && !heidenhain_);
    if (what == TLineStart::Undecided) {
        if (!force && probe_.size() < ProgramHeader::kLongestStart) return;
        what = probe_ == "%"    ? TLineStart::TapeEnd
               : probe_ == "%%" ? TLineStart::DoubleEnd
                                : TLineStart::Text;
    }
    const QByteArray line = std::exchange(probe_, QByteArray());
    const TTransmission::Kind kind =
        cut_ ? TTransmission::Kind::Incomplete : TTransmission::Kind::Complete;
    switch (what) {
        case TLineStart::Undecided:
        case TLineStart::Text:
            lineProbed_ = true;
            for (const char c : line) TakeText(c, now);
            return;
        case TLineStart::NextProgram:
            lastEndMs_ = now;
            Finish(kind);
            Begin(now);
            for (const char c : line) TakeText(c, now);
            return;
        case TLineStart::TapeEnd:
            held_ += '%';
            lastEndMs_ = now;
            Finish(kind);
            KeepTapeEnd("%");
            for (const char c : QByteArrayView(line).sliced(1)) Take(c, now);
            return;
        case TLineStart::DoubleEnd:
            held_ += "%%";
            lastEndMs_ = now;
            Finish(kind);
            for (const char c : QByteArrayView(line).sliced(2)) Take(c, now);
            return;
    }
}

void TFraming::Scan(char c) {
    if (lineComment_) return;
    if (inComment_) {
        if (c == ')') inComment_ = false;
        return;
    }
    if (c == '(' || c == ';') {
        // "( ... )", and ";" to the line end (Heidenhain, Sinumerik)
        EndWord();
        if (c == '(') {
            inComment_ = true;
        } else {
            lineComment_ = true;
        }
        before1_ = before2_ = 0;
        recent_.clear();
        return;
    }
    const char u = Upper(c);
    if (!heidenhain_ && before2_ == 'M' &&
        ((before1_ == '3' && u == '0') || (before1_ == '0' && u == '2'))) {
        endOnLine_ = true;
        afterEndWord_ = 0;
    }
    before2_ = before1_;
    before1_ = u;
    recent_ += u;
    if (recent_.size() > kRecent) recent_.remove(0, 1);
    if (recent_.endsWith("END PGM") && (recent_.size() == 7 || !Letter(recent_[0]))) {
        endOnLine_ = true;
        afterEndWord_ = 0;
    }
    // Words: letters, then digits ("N10M99" is N10 and M99).
    if (Letter(u)) {
        if (wordDigits_) EndWord();
        if (word_.size() <= 8) word_ += u;
    } else if (Digit(u) && !word_.isEmpty()) {
        wordDigits_ = true;
        if (word_.size() <= 8) word_ += u;
    } else if (u == '_' && !word_.isEmpty()) {
        word_ += u;  // part of a name, not a word of its own
    } else {
        EndWord();
    }
}

void TFraming::EndWord() {
    if (!heidenhain_ && ReturnWord(word_)) returnOnLine_ = true;
    word_.clear();
    wordDigits_ = false;
}

void TFraming::EndLine() {
    EndWord();
    if (!lineStart_) {
        // A Heidenhain program is told by its first line ("%" lines before it do not count).
        const QByteArray first = firstLine_.trimmed();
        if (!dialectKnown_ && !first.isEmpty() && first != "%" && first != "%%") {
            heidenhain_ = ProgramHeader::IsHeidenhain(firstLine_);
            dialectKnown_ = true;
        }
        firstLine_.clear();
        // Lines without text in between do not part a return from a header.
        afterReturn_ = returnOnLine_;
    }
    NewLine();
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
    firstLine_.clear();
    dialectKnown_ = false;
    heidenhain_ = false;
    afterReturn_ = false;
    probe_.clear();
    NewLine();
}

void TFraming::NewLine() {
    lineStart_ = true;
    lineProbed_ = false;
    lineHead_.clear();
    inComment_ = false;
    lineComment_ = false;
    before1_ = before2_ = 0;
    recent_.clear();
    word_.clear();
    wordDigits_ = false;
    returnOnLine_ = false;
    endOnLine_ = false;
    endKeepsPercent_ = false;
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

void TFraming::EndQuiet() {
    // Nothing that came is lost.
    held_ += std::exchange(probe_, QByteArray());
    held_ += std::exchange(cutHold_, QByteArray());
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

void TFraming::FlushLast(QByteArrayView tapeEnd) {
    if (!lastGiven_) {
        last_.Text += tapeEnd;
        out_.push_back(std::move(last_));
    }
    last_ = {};
    lastGiven_ = false;
    percent_.clear();
    state_ = State::Idle;
}

void TFraming::KeepTapeEnd(const QByteArray& bytes) {
    tapeEnd_ = bytes;
    state_ = State::TapeEnd;
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
