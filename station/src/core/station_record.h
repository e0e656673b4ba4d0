// The record a station keeps, as its settings choose: the line's server when
// [Record] Server is set, else the SQLite file beside the program.
#pragma once

#include <memory>
#include <string>

#include "job_record.h"
#include "station_settings.h"

// Opens it, with the station's name, operator and work order kept with every
// job. A server record does not wait for the server (its first job does).
// Null with *pError when it cannot be opened.
std::shared_ptr<IJobRecord> OpenStationRecord(const CSettingsFile& file,
                                              const RecordSettings& settings, std::string* pError);
