#pragma once
#include <QByteArray>

#include "mqtt/BrokerCall.h"

// The modes of the web side: `--web` serves the page and the API (with `--mqtt`, also of the
// machines of every site on the shop's broker), `--status` prints the instances' states,
// `--web-user` adds, changes or removes a user of the page.
namespace WebExit {
inline constexpr int Ok = 0;
inline constexpr int Usage = 1;  // a wrong call, or a user that cannot be made or removed
inline constexpr int Root = 2;   // the root folder is missing
inline constexpr int BrokerFile = BrokerExit::File;  // the broker's password or CA file
inline constexpr int Listen = 4;  // the address cannot be used, or certificate or key not
inline constexpr int Refused = BrokerExit::Refused;  // the broker refuses the user
}  // namespace WebExit

// True when argv asks for one of these modes.
bool IsWebMode(int argc, char** argv);
// Runs the mode argv asks for; returns the exit status. usage: the program's usage text
// (Windows-1252), shown after a wrong call.
int RunWebMode(int argc, char** argv, const QByteArray& usage);
