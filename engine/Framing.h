#pragma once
// Where one transmission ends and the next begins. Bytes and time go in, transmissions come
// out; there is no port, file or clock in here, so every rule is tried by feeding bytes. The
// result depends on the bytes and on pauses longer than the trailer or the quiet time, never
// on how the reads split the stream.
//
//  - Leader: bytes before a transmission's first printable character (33..126) are not part
//    of it: NULs, DC2, DEL, a glitch byte, line ends, blanks.
//  - End line: the line that holds "M30" or "M02" (letter case ignored, "M300" too) outside a
//    parenthesised comment ends the transmission with its line end (CR LF, LF or a lone CR).
//    Without a line end it ends after the trailer time, or 256 bytes after the end word.
//  - Tape end: a "%" after the end line, within the trailer time, belongs to the transmission
//    it ends; control bytes after it are a trailer. A "%" followed by text on its line, or by
//    a line end and then text, begins the next transmission instead. A call is given out at
//    its end line, without waiting; a tape end after it is dropped.
//  - "%" line: a line holding only "%" after program text ends the transmission with that
//    "%" (subprograms ending M99, M17, M2 or nothing).
//  - Quiet time: a transmission that gets nothing for that long ends incomplete; without a
//    letter or digit it is dropped.
//  - Lost device: the transmission under way is cut; what follows the reconnect belongs to it
//    up to its end, unless it begins with "%" (the control starts anew). It is incomplete.
//    However long the device is away, its quiet time only runs once it is back.
//  - Limit: a transmission longer than the limit is given out in pieces, so that memory stays
//    bounded whatever the line brings.
#include <QByteArray>
#include <QByteArrayView>
#include <deque>
#include <optional>

struct TTransmission {
    enum class Kind {
        Complete,    // ended by its end line or its "%" line: a call or a program
        Incomplete,  // ended by the quiet time, or cut by a lost device
        Dropped,     // ended by the quiet time without a letter or digit
        Piece,       // the next part of a transmission longer than the limit; more follows
    };
    Kind kind = Kind::Complete;
    QByteArray Text;       // its bytes, without leader and trailer (after pieces: the rest)
    bool Cut = false;      // a lost device cut it
    bool Spilled = false;  // pieces of it were given out before: Text is only its rest
    // It began within the trailer time after the one before ended: sent in one go with it.
    bool Follows = false;
};

class TFraming {
  public:
    // The trailer time bounds the wait for an end line's line end and for a tape end.
    static constexpr qint64 kTrailerMs = 500;
    // After an end word, a line end that does not come is not waited for beyond this.
    static constexpr int kEndLineLimit = 256;

    void SetTimes(qint64 quietMs, qint64 trailerMs);
    // Transmissions that begin like a call of this program identifier are given out at their
    // end line.
    void SetProgramIdentifier(const QByteArray& prgAk) { prgAk_ = prgAk; }
    void SetLimit(qsizetype bytes) { limit_ = bytes; }

    // Bytes that came by nowMs (the time passed first: see Tick).
    void Feed(QByteArrayView bytes, qint64 nowMs);
    // Ends what the time ends by nowMs.
    void Tick(qint64 nowMs);
    // The device was lost: the transmission under way waits for it without a quiet time...
    void Cut(qint64 nowMs);
    // ...until it is back (or bytes come); its quiet time runs from then.
    void Resumed(qint64 nowMs);
    // Drops what is under way (Clear/Edit); what was given out stays.
    void Reset();

    // The ended transmissions, in order.
    std::optional<TTransmission> Next();
    // When Tick has something to do; -1: nothing waits for the time.
    qint64 Deadline() const;
    // The transmission under way (without pieces given out).
    const QByteArray& Held() const { return held_; }
    // A transmission has ended, or is about to, and waits only for its trailer time.
    bool Settling() const;
    // The transmission under way was cut by a lost device.
    bool CutUnderWay() const { return cut_ && state_ == State::Text; }

  private:
    enum class State {
        Idle,             // between transmissions: a leader is skipped
        Text,             // in a transmission
        EndCr,            // its end line's CR came; an LF may follow
        PercentLine,      // a "%" began a line after text: it ends there unless text follows
        AfterEnd,         // ended by its end line; a tape end may follow
        AfterEndPercent,  // ...a "%" came; text after it begins the next transmission
    };

    void Take(char c, qint64 now);
    void TakeText(char c, qint64 now);
    void TakeAfterCut(char c, qint64 now);
    void Begin(qint64 now);  // a transmission begins with the next byte
    void Start();
    void NewLine();
    void EndByEndLine(qint64 now);
    void EndHere();  // its "%" line
    void EndQuiet();
    void Finish(TTransmission::Kind kind);  // gives out what is held
    void FlushLast(bool tapeEnd);
    void SpillIfOver();

    State state_ = State::Idle;
    QByteArray prgAk_;
    qint64 quietMs_ = 5000;
    qint64 trailerMs_ = kTrailerMs;
    qsizetype limit_ = 64 * 1024 * 1024;

    // The transmission under way.
    QByteArray held_;
    bool follows_ = false;
    bool hasText_ = false;  // a letter or digit came
    bool spilled_ = false;
    bool cut_ = false;
    bool afterCut_ = false;  // nothing printable since the cut
    bool away_ = false;      // cut, and the device is not back yet
    QByteArray cutHold_;     // control bytes since the cut, before the first printable one
    qint64 lastByteMs_ = 0;
    // Its current line.
    bool lineStart_ = true;
    bool inComment_ = false;
    char before2_ = 0, before1_ = 0;  // the two characters before, upper case, outside comments
    bool endOnLine_ = false;
    int afterEndWord_ = 0;

    // The transmission ended by its end line, until its tape end is decided.
    TTransmission last_;
    bool lastGiven_ = false;  // a call: given out already
    qint64 endedMs_ = 0;
    qint64 lastEndMs_ = -1;  // when the last transmission ended by its end or "%" line
    QByteArray percent_;     // the "%" and line ends after it, not yet decided

    std::deque<TTransmission> out_;
};
