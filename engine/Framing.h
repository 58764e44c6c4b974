#pragma once
// Where one transmission ends and the next begins. Bytes and time go in, transmissions come
// out; there is no port, file or clock in here, so every rule is tried by feeding bytes. The
// result depends on the bytes and on pauses longer than the trailer or the quiet time, never
// on how the reads split the stream.
//
//  - Leader: bytes before a transmission's first printable character (33..126) are not part
//    of it: NULs, DC2, DEL, a glitch byte, line ends, blanks.
//  - End line: the line that holds "M30" or "M02" (letter case ignored, "M300" too), Heidenhain's
//    "END PGM" line, or the "N99999999" line of a Heidenhain ISO program, outside comments
//    ("( ... )", and ";" to the line end), ends the transmission with its line end (CR LF, LF or
//    a lone CR). Without a line end it ends at a control byte, after the trailer time, or 256
//    bytes after the end word. A program whose first line is a Heidenhain header ("BEGIN PGM",
//    "%4711 G71 *") ends only at its END PGM or N99999999 line: M30 and M2 are blocks there.
//  - Trailer: control bytes after an end (ETX, EOT, DC4, NULs) are never text.
//  - Tape end: a "%" after the end line, within the trailer time, that has no text after it on
//    its line belongs to the transmission it ends. "%%" with nothing after it ends a transfer of
//    several files. "%" directly followed by text ("%Prg", "%_N_") begins the next transmission.
//    A tape end with its line end still begins the next transmission when text follows it
//    (however late it is read): both carry it. A call is given out at its end line, without
//    waiting; its tape end belongs to nothing, unless text follows it.
//  - "%" line: a line holding only "%" (or "%%") after program text ends the transmission with
//    it (subprograms ending M99, M17, M2 or nothing).
//  - Next program: at a line start after a line holding M99, M17, M2, RTS or RET (a
//    subprogram's return), a header ("O1234", "<NAME>", "$NAME.MIN%", "BEGIN PGM") begins the
//    next transmission, so that a punch-all gives one transmission per program; "%_N_..."
//    does so after any line. After an end line any text begins the next transmission.
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
    // All bytes held: the transmission under way, and one that waits for its tape end.
    qsizetype HeldSize() const {
        return held_.size() + probe_.size() + cutHold_.size() + last_.Text.size();
    }
    // A transmission has ended, or is about to, and waits only for its trailer time.
    bool Settling() const;
    // The transmission under way was cut by a lost device.
    bool CutUnderWay() const { return cut_ && state_ == State::Text; }

  private:
    enum class State {
        Idle,             // between transmissions: a leader is skipped
        Text,             // in a transmission
        EndCr,            // its end line's CR came; an LF may follow
        AfterEnd,         // ended by its end line; a tape end may follow
        AfterEndPercent,  // ...a "%" (or "%%") came; what follows it decides
        TapeEnd,          // a tape end given out, that begins the next transmission if text
                          // follows it
    };

    void Take(char c, qint64 now);
    void TakeText(char c, qint64 now);
    void TakeEndLine(char c, qint64 now);
    void TakeAfterCut(char c, qint64 now);
    // The bytes at a line start decide what the line is; force: decide with what came.
    void DecideLineStart(qint64 now, bool force);
    void Scan(char c);  // end and return words outside comments
    void EndWord();
    void EndLine();
    void Begin(qint64 now);  // a transmission begins with the next byte
    void Start();
    void NewLine();
    void EndByEndLine(qint64 now);
    void EndQuiet();
    void Finish(TTransmission::Kind kind);  // gives out what is held
    void FlushLast(QByteArrayView tapeEnd);
    void KeepTapeEnd(const QByteArray& bytes);
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
    QByteArray firstLine_;  // its first line, until it tells whether it is Heidenhain's
    bool dialectKnown_ = false;
    bool heidenhain_ = false;   // only its END PGM or N99999999 line ends it
    bool afterReturn_ = false;  // the last line with text held a subprogram's return
    // Its current line.
    bool lineStart_ = true;
    bool lineProbed_ = false;  // its start was decided to be text
    QByteArray probe_;         // its first bytes, while they do not tell what it is
    QByteArray lineHead_;      // its first bytes, for the N99999999 line
    bool inComment_ = false;
    bool lineComment_ = false;
    char before2_ = 0, before1_ = 0;  // the two characters before, upper case, outside comments
    QByteArray recent_;               // the last characters outside comments, upper case
    QByteArray word_;                 // the word being read: letters, then digits
    bool wordDigits_ = false;
    bool returnOnLine_ = false;
    bool endOnLine_ = false;
    bool endKeepsPercent_ = false;  // a "%" on the end line is text (N99999999 %4711 G71 *)
    int afterEndWord_ = 0;

    // The transmission ended by its end line, until its tape end is decided.
    TTransmission last_;
    bool lastGiven_ = false;  // a call: given out already
    qint64 endedMs_ = 0;
    qint64 lastEndMs_ = -1;  // when the last transmission ended by its end or "%" line
    QByteArray percent_;     // the "%" or "%%" after the end line, not yet decided
    QByteArray tapeEnd_;     // a tape end and its line end that begin what follows it

    std::deque<TTransmission> out_;
};
