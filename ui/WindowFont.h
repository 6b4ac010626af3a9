#pragma once

#include <QFont>

// Tahoma 8 point, or the system's sans font at that size where Tahoma is absent.
QFont WindowFont();
