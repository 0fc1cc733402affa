#pragma once

#include "web/ContentTicket.h"
#include "web/WebRoute.h"

#include <nlohmann/json_fwd.hpp>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

class CAuditLog;
class CCentralStore;
struct CatalogueQuery;
class CFootageRequests;
class CRecordingCatalogue;
struct CatalogueRow;
struct FootageRequest;

// The footage API beside the dashboard's: the recordings catalogue (list, row, bytes,
// verify), footage requests (make, list, cancel, manifest, export) and the audit
// trail. Everything needs the operator's role, except the bytes of one recording,
// manifest or export, which an address carrying a ticket from an operator's answer
// may fetch too (a video element cannot send a header). Every list, download, verify
// and request made or cancelled goes into the audit trail; repeated downloads and
// lists of the same thing by one client once per ten minutes.
class CFootageApi {
public:
    // What the answers read and write; each outlives the dashboard. A null part
    // answers 503 on its paths.
    struct Parts {
        CRecordingCatalogue* pCatalogue = nullptr;
        CFootageRequests* pRequests = nullptr;
        CAuditLog* pAudit = nullptr;
        CCentralStore* pCentral = nullptr;  // the shared fleet database, for lists across depots
    };

    explicit CFootageApi(Parts parts);
    CFootageApi(const CFootageApi&) = delete;
    CFootageApi& operator=(const CFootageApi&) = delete;

    // The routes to add to the dashboard; they refer to this object, which must outlive
    // the dashboard. The thread that starts the dashboard.
    std::vector<WebRoute> Routes();

private:
    // Handlers, each on a dashboard worker.
    WebAnswer x_GetRecordings(const WebRequest& req);
    WebAnswer x_List(const WebRequest& req);
    // The list of every depot's recordings, from the shared database (scope=all).
    WebAnswer x_ListAcrossDepots(const WebRequest& req, const CatalogueQuery& query);
    WebAnswer x_Content(const WebRequest& req, std::int64_t nId, bool bTicket);
    WebAnswer x_Verify(const WebRequest& req);
    WebAnswer x_GetRequests(const WebRequest& req);
    WebAnswer x_CreateRequest(const WebRequest& req);
    WebAnswer x_CancelRequest(const WebRequest& req);
    // Whether another depot took the request (made here) and holds its recordings.
    bool x_TakenElsewhere(const FootageRequest& request) const;
    // The manifest of a request of ours that another depot fetched, from its copy in the
    // shared database. False with the answer that refuses it.
    bool x_TakersManifestText(const FootageRequest& request, std::string& text, WebAnswer& refusal);
    WebAnswer x_Manifest(const WebRequest& req, const FootageRequest& request, bool bTicket);
    WebAnswer x_Export(const WebRequest& req, const FootageRequest& request, bool bTicket);
    WebAnswer x_Audit(const WebRequest& req);

    // The catalogue rows of a request's recordings, hashed (hashing any not hashed yet).
    // False with an answer to give when one is missing or cannot be hashed.
    bool x_HashedRows(const FootageRequest& request, std::vector<CatalogueRow>& rows, WebAnswer& refusal);
    // The request's manifest text; false with refusal.
    bool x_ManifestText(const FootageRequest& request, std::string& text, WebAnswer& refusal);
    // Whether the caller may read strPath's bytes: the operator, or a valid ticket in
    // the address. *pTicket: it came by ticket.
    bool x_MayRead(const WebRequest& req, bool* pTicket) const;
    // The JSON of a row and of a request, with their addresses (tickets included).
    nlohmann::json x_RowJson(const CatalogueRow& row, std::uint32_t tNow) const;
    nlohmann::json x_RequestJson(const FootageRequest& request, bool bDetail, std::uint32_t tNow) const;
    // An audit line; bThrottled: at most once per client, action and object per ten minutes.
    void x_Note(const WebRequest& req, bool bTicket, const std::string& action, const std::string& object,
                const std::string& detail, bool bThrottled);

    const Parts m_parts;
    const CContentTicket m_tickets;
    // Whole-file reads (verify, hashing for a manifest) under way: one at a time, so
    // they cannot take every worker.
    std::atomic<int> m_nHashing {0};
};
