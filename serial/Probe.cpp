#include "serial/Probe.h"

#include <algorithm>

#include "serial/Port.h"

bool PortExists[MaxPort + 1] = {};
bool PortNotPermitted[MaxPort + 1] = {};
int PortList[MaxPort] = {};
bool AnyPortExists = false;
int ProbedPortCount = 0;

void ProbePorts(int count) {
    // A count outside 1..99 would index past the tables or leave a "done" probe that
    // probed nothing.
    if (ProbedPortCount != 0 || count <= 0) return;
    count = std::min(count, MaxPort);
    AnyPortExists = false;
    int found = 0;
    for (int n = 1; n <= count; ++n) {
        const Port::TDeviceState state = Port::PortState(n);
        PortExists[n] = Port::Present(state);
        PortNotPermitted[n] = state == Port::dsNotPermitted;
        PortList[n - 1] = 0;
        if (PortExists[n]) PortList[found++] = n;
        AnyPortExists = AnyPortExists || PortExists[n];
    }
    ProbedPortCount = count;
}

void EnsurePortsProbed(int count) {
    if (ProbedPortCount == 0 && count > 0) ProbePorts(std::min(count, MaxPort));
}

void ProbeStartUpPorts() {
    // A name with neither a map entry nor a default device costs one lstat.
    EnsurePortsProbed(MaxPort);
}

int PortListIndex(int port) {
    if (port < 1 || port > ProbedPortCount || !PortExists[port]) return 0;
    for (int i = 0; i < ProbedPortCount; ++i)
        if (PortList[i] == port) return i;
    return 0;
}

void ProbePortsAgain() {
    const int count = ProbedPortCount;
    ResetPortProbeForTests();
    EnsurePortsProbed(count > 0 ? count : 8);
}

void ResetPortProbeForTests() {
    std::fill(std::begin(PortExists), std::end(PortExists), false);
    std::fill(std::begin(PortNotPermitted), std::end(PortNotPermitted), false);
    std::fill(std::begin(PortList), std::end(PortList), 0);
    AnyPortExists = false;
    ProbedPortCount = 0;
}
