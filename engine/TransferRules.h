#pragma once
// The text rules of the transfer engine: how a call is recognised, how a received program is
// named and which names are safe (where a transmission ends is the framing's, Framing.h).
// Pure functions, so the handlers and the tests share them.
#include <QByteArray>

namespace TransferRules {

// A transmission may not grow without bound when the machine never sends its end word:
// 64 MiB, far above any NC program. Tests lower it.
qsizetype& ReceiveLimit();

// A call is only recognised when its transmission holds more than this many characters.
inline constexpr int kCallThreshold = 15;

// The length of a transmission as the call threshold counts it: each line end as two
// characters (CR LF), whatever the control sent (LF only, a lone CR).
qsizetype CallLength(const QByteArray& text);

// text begins like a call (its leading part is the call head) and is long enough for one.
bool IsCallText(const QByteArray& text, const QByteArray& prgAk);

// "%" + the program identifier: what a call must begin with.
QByteArray CallHead(const QByteArray& prgAk);

// The first characters of completed up to and including the first prgAk (case-sensitive);
// when prgAk is absent, the first (length of prgAk - 1) characters; empty when completed is
// empty or that count is not positive.
QByteArray LeadingPart(const QByteArray& completed, const QByteArray& prgAk);

// The up to four characters after the first character of the first ak in completed.
// Returns false (number untouched) when ak is empty or absent.
bool CallNumber(const QByteArray& completed, const QByteArray& ak, QByteArray* number);

// The program number of a call, checked: empty when *number holds four characters that
// name a file (no blank, control character, separator or ".."); otherwise why not, in German
// for the trace.
QByteArray CallNumberProblem(const QByteArray& completed, const QByteArray& ak, QByteArray* number);

// Sorts after the one-character text " " byte-wise: first byte above 32, or a blank
// followed by more.
bool GreaterThanBlank(const QByteArray& text);

// The seven cases of the receive decision.
enum class ReceiveCase {
    CallWithoutName = 1,   // nothing
    SendCalled = 2,        // load and send the called program
    SaveAfterCall = 3,     // save, then trace
    CallNotSaved3333 = 4,  // nothing
    NotAProgram = 5,       // nothing
    NotSaved3333 = 6,      // nothing
    SaveProgram = 7,       // trace, save, trace
};
ReceiveCase Decide(const QByteArray& leadingPart, const QByteArray& callHead,
                   const QByteArray& sendFileName, int readLength, const QByteArray& prgAk);

// The name after the keyword "DFS," (letter case ignored): the part of the following up
// to ten characters before their first comma. hasKeyword tells whether "DFS," occurs at all;
// the name is empty when the field has no comma or begins with one.
QByteArray DfsName(const QByteArray& text, bool* hasKeyword);

// Empty when name can be used as a file name inside a folder; otherwise the reason, for the
// trace line. Refused: empty names, "." and "..", separators ('/' and '\\'), "..", control
// characters and DEL.
QByteArray UnsafeNameReason(const QByteArray& name);

// A received text as a trace line shows it: cut after limit characters, with the full
// length said, so that a program of megabytes is not copied into the display.
QByteArray ForTrace(const QByteArray& text, qsizetype limit = 64 * 1024);

}  // namespace TransferRules
