#include "log/VeltStraightLogWriteDriver.h"

TLogWriteDriver::~TLogWriteDriver() = default;
