#include "station_record.h"

#include "number_ledger.h"
#include "server_record.h"

std::shared_ptr<IJobRecord> OpenStationRecord(const CSettingsFile& file,
                                              const RecordSettings& settings, std::string* pError) {
    RecordTrace trace;
    trace.station = settings.station;
    trace.operatorName = settings.operatorName;
    trace.workOrder = settings.workOrder;
    if (settings.server.empty()) {
        auto pLedger = std::make_shared<CNumberLedger>();
        if (!pLedger->Open(file.RecordPath(), pError))
            return nullptr;
        pLedger->SetTrace(trace);
        return pLedger;
    }
    ServerRecordSettings server;
    server.conninfo = settings.server;
    server.trace = trace;
    server.pool = settings.pool;
    server.queuePath = file.QueuePath();
    auto pServer = std::make_shared<CServerRecord>();
    if (!pServer->Open(server, pError))
        return nullptr;
    return pServer;
}
