#pragma once
// The port probe: which of COM1..COM99 lead to a serial port, found out once per process
// without opening a device. The tables are process-wide and read by the port lists.
constexpr int MaxPort = 99;

extern bool PortExists[MaxPort + 1];  // index = port number 1..99; [0] unused
// Existing ports the user may not open (not in the group dialout); index as PortExists.
extern bool PortNotPermitted[MaxPort + 1];
extern int PortList[MaxPort];  // existing ports ascending, packed from [0], rest 0
extern bool AnyPortExists;
extern int ProbedPortCount;  // 0: no probe has run yet

void ProbePorts(int count);
void EnsurePortsProbed(int count);
int PortListIndex(int port);
// The probe at program start: every name that the port map or the default mapping leads to
// a device, COM1..COM8 as always and COM9..COM99 too.
void ProbeStartUpPorts();

// Test-only: forget the probe so that a test can probe another port map.
void ResetPortProbeForTests();
// Probes again, as many ports as the first probe did: for a server without a window that
// waits for its device to appear (the windows keep the probe of their start).
void ProbePortsAgain();
