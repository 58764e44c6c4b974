#pragma once
// What a control writes at the head of a program, as rules without I/O: where a line start
// begins the next program (the framing asks while it reads), whether a program is one of
// Heidenhain's (only its END PGM line ends it), and the name its header gives it.
//
//   Fanuc, Haas     O1234, O01234                    -> 1234.<Ext>, 01234.<Ext> (as written)
//   Fanuc 30i       <WELLE_LINKS_2>                  -> WELLE_LINKS_2.<Ext>
//   Sinumerik       %_N_TEIL1_MPF, %_N_TEIL1_SPF     -> TEIL1.MPF, TEIL1.SPF
//   Okuma           $TEIL1.MIN%                      -> TEIL1.MIN
//   Heidenhain      0 BEGIN PGM 4711 MM              -> 4711.H
//                   %4711 G71 *  (ISO)               -> 4711.I
#include <QByteArray>
#include <QByteArrayView>

namespace ProgramHeader {

// What the first bytes of a line after program text say.
enum class TLineStart {
    Undecided,    // the next bytes of the line tell
    Text,         // program text
    NextProgram,  // a header: the next program begins with this line
    TapeEnd,      // a "%" with no text after it on its line: its program ends with it
    DoubleEnd,    // "%%" with nothing after it: the end of a transfer of several files
};

// start: the line's first bytes. afterReturn: the line before held a subprogram's return
// (M99, M17, M2, RTS, RET), after which a header begins the next program of a punch-all.
// "%_N_" begins the next program after any line.
TLineStart ClassifyLineStart(QByteArrayView start, bool afterReturn);

// A line start needs at most this many bytes to be decided.
inline constexpr int kLongestStart = 32;

// The first line of a program is a Heidenhain header ("BEGIN PGM", or "%NAME G71 *").
bool IsHeidenhain(QByteArrayView firstLine);

// The name in a program's header: its first line other than blank, "%" and comment lines.
struct TName {
    QByteArray Stem;     // as written; empty: the header names nothing (or there is none)
    QByteArray Ext;      // the extension its family gives it; empty: the configured one
    QByteArray Refused;  // why it cannot name a file (German, for the trace); empty: it can
};
TName Find(const QByteArray& text);

}  // namespace ProgramHeader
