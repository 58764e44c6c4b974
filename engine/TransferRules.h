#pragma once
// The text rules of the transfer engine: how a transmission ends, how a call is recognised,
// how a received program is named, which names are safe, and how files reach the disk.
// Pure functions (except the file writers), so the handlers and the tests share them.
#include <QByteArray>
#include <QString>

namespace TransferRules {

// A transmission may not grow without bound when the machine never sends its end word:
// 64 MiB, far above any NC program. Tests lower it.
qsizetype& ReceiveLimit();

// A call is only recognised when the read that ends it holds more than this many characters.
inline constexpr int kCallThreshold = 15;

// True when text holds "M30" or "M02", letter case ignored ("m30", "M300" count too).
bool HasEndWord(const QByteArray& text);

// The end word of this read, also when it is split over the previous read and this one
// ("M3" ending the buffer, "0" starting the chunk).
bool EndWordInRead(const QByteArray& bufferBefore, const QByteArray& chunk);

// "%" + the program identifier: what a call must begin with.
QByteArray CallHead(const QByteArray& prgAk);

// The first characters of completed up to and including the first prgAk (case-sensitive);
// when prgAk is absent, the first (length of prgAk - 1) characters; empty when completed is
// empty or that count is not positive.
QByteArray LeadingPart(const QByteArray& completed, const QByteArray& prgAk);

// The up to four characters after the first character of the first ak in completed.
// Returns false (number untouched) when ak is empty or absent.
bool CallNumber(const QByteArray& completed, const QByteArray& ak, QByteArray* number);

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

// folder + "/" + name, with no doubled separator when folder ends in one.
QString JoinPath(const QString& folder, const QString& name);

// Writes data to path so that a crash leaves the old file or the new one, never half of one:
// a temporary file in the same folder, write, fsync, rename, fsync of the folder.
// Throws FileError (path and the system's reason) on any failure; the temporary is removed.
void WriteFileAtomic(const QString& path, const QByteArray& data);

// Appends data to path (created if missing) and fsyncs; throws FileError.
void AppendFileSynced(const QString& path, const QByteArray& data);

}  // namespace TransferRules
