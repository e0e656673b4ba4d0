#include "job_record.h"

const char* LedgerOutcomeName(LedgerOutcome outcome) {
    switch (outcome) {
        case LedgerOutcome::InFlight:
            return "inflight";
        case LedgerOutcome::Written:
            return "written";
        case LedgerOutcome::Refused:
            return "refused";
        case LedgerOutcome::Uncertain:
            return "uncertain";
        case LedgerOutcome::PresumedWritten:
            return "presumedwritten";
    }
    return "unknown";
}

bool LedgerOutcomeFromName(const std::string& name, LedgerOutcome* pOutcome) {
    for (LedgerOutcome outcome :
         {LedgerOutcome::InFlight, LedgerOutcome::Written, LedgerOutcome::Refused,
          LedgerOutcome::Uncertain, LedgerOutcome::PresumedWritten}) {
        if (name == LedgerOutcomeName(outcome)) {
            *pOutcome = outcome;
            return true;
        }
    }
    return false;
}
