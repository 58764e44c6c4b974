#include "serial/Line.h"

namespace {

struct TRates {
    quint32 Of[BaudRateCount];
};

constexpr TRates kStandardRates = {{50,     110,    150,    300,    600,    1200,  2400,
                                    4800,   9600,   14400,  19200,  38400,  56000, 57600,
                                    115200, 128000, 230400, 256000, 460800, 921600}};
TRates rates = kStandardRates;

}  // namespace

const quint32 (&BaudRateTable)[BaudRateCount] = rates.Of;

void OverrideRate(TBaudrate setting, quint32 rate) {
    if (setting < BaudRateCount) rates.Of[setting] = rate;
}

void RestoreRates() { rates = kStandardRates; }

const char* const ParityNames[5] = {"none", "odd", "even", "mark", "space"};
const char* const StopBitNames[3] = {"1", "1,5", "2"};
