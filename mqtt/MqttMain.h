#pragma once
#include <QByteArray>

#include "mqtt/BrokerCall.h"

// `--mqtt`: the bridge of the instances under a root to the shop's broker.
namespace MqttExit {
inline constexpr int Ok = 0;
inline constexpr int Usage = 1;    // a wrong call
inline constexpr int Root = 2;     // the root folder is missing
inline constexpr int File = 3;     // the password file or the CA file cannot be read
inline constexpr int Refused = 7;  // the broker refuses the user (name or password wrong)
static_assert(File == BrokerExit::File && Refused == BrokerExit::Refused);
}  // namespace MqttExit

// True when argv asks for the bridge.
bool IsMqttMode(int argc, char** argv);
// Runs it; returns the exit status. usage: the program's usage text (Windows-1252), shown
// after a wrong call.
int RunMqttMode(int argc, char** argv, const QByteArray& usage);
