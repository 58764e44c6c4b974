#pragma once
// Sets the probe tables to what the start-up probe leaves on a machine with these ports,
// for tests of the dialogs that read them.
#include <initializer_list>

#include "serial/Serial.h"

inline void ProbeResult(std::initializer_list<int> ports) {
    for (bool& exists : PortExists) exists = false;
    for (bool& denied : PortNotPermitted) denied = false;
    for (int& entry : PortList) entry = 0;
    int found = 0;
    for (int port : ports) {
        PortExists[port] = true;
        PortList[found++] = port;
    }
    AnyPortExists = found > 0;
    ProbedPortCount = 8;
}
