// A core file as it must never be: the check of src/core rejects the two
// includes below (station_core_check_rejects test).
#pragma once

#include <string>

#include <QLabel>
#include "station_dlg.h"
