#pragma once

#include "data/Param.h"

// One sensor of the sensor-mode parameters: name (10 bytes), value (4 bytes big-endian, signed),
// laid out on the wire as a StructData field is.
using SensorModeParam = Param;
