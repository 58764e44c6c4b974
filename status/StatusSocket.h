#pragma once
// The local socket through which an instance publishes its state: ".dnc-status" in its
// working folder, a Unix stream socket only its owner may use. The protocol is JSON, one
// object a line, in UTF-8:
//
//   instance -> reader  {"type":"status", "state":..., ...}  the whole state, on connect and
//                                                             at each change
//                       {"type":"log", "entry":...}            a log entry as written
//                       {"type":"reply", "command":..., "ok":..., "message":...}
//   reader -> instance  {"command":"abort", "user":...}       "Abbruch Senden"; the log entry
//                                                             names the user, when given
//
// A Unix socket address holds at most 107 bytes; a longer folder is reached through
// /proc/self/fd, so any working folder works.
#include <QByteArray>
#include <QString>

namespace StatusSocket {

inline constexpr char kName[] = ".dnc-status";

// The states an instance publishes ("aus" is the reader's word for no answer).
inline constexpr char kOff[] = "aus";
inline constexpr char kDisconnected[] = "getrennt";
inline constexpr char kLost[] = "verloren";
inline constexpr char kReady[] = "bereit";
inline constexpr char kReceiving[] = "empfängt";  // UTF-8
inline constexpr char kSending[] = "sendet";
inline constexpr char kWaiting[] = "wartet";

// A line longer than this ends the connection: neither side sends one.
inline constexpr qsizetype kMaxLine = 64 * 1024;

// Binds and listens in folder, owner-only. A socket left by an instance that is gone is
// replaced; one that answers belongs to a running instance, and nothing is bound. Returns the
// descriptor (non-blocking), or -1 with *error saying why (Windows-1252).
int Listen(const QString& folder, QByteArray* error);

// Connects to the instance in folder; the descriptor (non-blocking), or -1 with errno set.
int Connect(const QString& folder);

// True when folder holds a socket file (an instance may be there, or was).
bool Present(const QString& folder);

}  // namespace StatusSocket
