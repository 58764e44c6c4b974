#include "config/ConfigValues.h"

std::array<QByteArray, ConfigSlotCount> ConfigValues;
