// The bit-rate override that start-up applies after reading Config.ini.
#include "config/Konfig.h"
#include "serial/Line.h"

// The machine's line runs at 1248 bit/s where the settings say 9600.
void TKonfiguration::PatchRateTable() { OverrideRate(br_009600, 1248); }
