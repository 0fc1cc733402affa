#pragma once

#include "settings/ServerConfig.h"

class CCentralStore;
class CDatagramSender;
class CFleetHistory;
class CFootageRequests;
class CNotifyCenter;
class CPendingReplyTable;
class CRecordIndex;
class CRecordingCatalogue;
class CServerCounters;
class CTransactionCounter;
class CTransferScheduler;

// What the registry, its vehicles and their download tasks use of the running server.
// The server owns each part (the notification center, the fleet history and the
// footage requests are lent to it) and removes every vehicle before any part goes, so
// the references outlive every user. Copied by value; every member is read-only after construction.
struct ServerParts {
    ServerConfigPtr pConfig;           // the settings snapshot of this run
    CNotifyCenter& center;
    CServerCounters& counters;
    CDatagramSender& sender;           // the control socket
    CPendingReplyTable& replies;
    CTransactionCounter& transactions;
    CTransferScheduler& scheduler;
    CFleetHistory& history;
    CRecordIndex* pIndex;              // null when the index is not written
    CFootageRequests* pRequests;       // null: no footage requests are served
    CRecordingCatalogue* pCatalogue;   // null when no catalogue is kept
    CCentralStore* pCentral = nullptr; // told of vehicles here, for shared footage requests; may be null

    const ServerConfig& Config() const { return *pConfig; }
};
