#include "web/FootageApi.h"

#include "central/CentralStore.h"

#include "core/Logger.h"
#include "footage/AuditLog.h"
#include "footage/EvidenceManifest.h"
#include "footage/FootageRequests.h"
#include "footage/RecordingCatalogue.h"
#include "footage/ZipExport.h"
#include "platform/File.h"
#include "platform/Format.h"
#include "settings/WallClock.h"
#include "store/LocalStore.h"
#include "web/WebRange.h"
#include "web/WebViews.h"

#include <nlohmann/json.hpp>

#include <charconv>
#include <map>
#include <memory>
#include <optional>

namespace {

using Json = nlohmann::json;

constexpr const char* kRecordings = "/api/v1/recordings";
constexpr const char* kRequests = "/api/v1/requests";
constexpr const char* kAudit = "/api/v1/audit";

WebAnswer JsonAnswer(int nStatus, const Json& json)
{
    return WebAnswer::Text(nStatus, json.dump(-1, ' ', false, Json::error_handler_t::replace));
}

WebAnswer Error(int nStatus, const std::string& text)
{
    return JsonAnswer(nStatus, Json {{"error", text}});
}

// 401 to a caller without a valid token, 403 to one whose token is too low.
WebAnswer Refusal(const WebRequest& req)
{
    return req.eRole == WebRole::None ? Error(401, "a token is needed") : Error(403, "the footage token is needed");
}

// A decimal number of the text, within [nMin, nMax]; nothing for anything else.
template <class T>
std::optional<T> Number(const std::string& text, T nMin, T nMax)
{
    T n {};
    auto [pEnd, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
    if (text.empty() || ec != std::errc() || pEnd != text.data() + text.size() || n < nMin || n > nMax)
        return std::nullopt;
    return n;
}

// The path below prefix split at '/': "/api/v1/requests/7/export" -> {"7", "export"}.
std::vector<std::string> Segments(const std::string& path, const std::string& prefix)
{
    std::vector<std::string> parts;
    std::size_t nPos = prefix.size();
    while (nPos < path.size() && path[nPos] == '/') {
        std::size_t nNext = path.find('/', nPos + 1);
        parts.push_back(path.substr(nPos + 1, nNext == std::string::npos ? std::string::npos : nNext - nPos - 1));
        nPos = nNext == std::string::npos ? path.size() : nNext;
    }
    return parts;
}

std::optional<std::int64_t> IdOf(const std::vector<std::string>& parts)
{
    if (parts.empty())
        return std::nullopt;
    return Number<std::int64_t>(parts[0], 1, INT64_MAX);
}

// "20261206T140500Z" of a wall-clock time.
std::string CompactTime(std::uint32_t t)
{
    std::string text = FormatTimeString(t);
    return text.substr(0, 8) + "T" + text.substr(8) + "Z";
}

// Letters, digits, '.', '_' and '-' of text; anything else becomes '_'.
std::string SafeFileText(const std::string& text)
{
    std::string out;
    for (char c : text)
        out += (std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '_' || c == '-') ? c : '_';
    return out;
}

std::string Disposition(const std::string& name)
{
    return "attachment; filename=\"" + name + "\"";
}

// The export's name with .manifest.json for .zip.
std::string ManifestName(const FootageRequest& request)
{
    std::string name = CZipExport::ExportName(request.ask.strVehicle, request.ask.channels, request.ask.tFrom,
                                              request.ask.tTo);
    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".zip") == 0)
        name.resize(name.size() - 4);
    return name + ".manifest.json";
}

Json ChannelsJson(const std::vector<std::uint8_t>& channels)
{
    Json list = Json::array();
    for (std::uint8_t n : channels)
        list.push_back(n);
    return list;
}

} // namespace

CFootageApi::CFootageApi(Parts parts) : m_parts(parts) {}

std::vector<WebRoute> CFootageApi::Routes()
{
    // Reads of bytes are checked by the handlers themselves: a ticket may stand in
    // for the operator's token there.
    return {
        {"GET", kRecordings, WebRole::None, [this](const WebRequest& req) { return x_GetRecordings(req); }},
        {"POST", kRecordings, WebRole::Operator, [this](const WebRequest& req) { return x_Verify(req); }},
        {"GET", kRequests, WebRole::None, [this](const WebRequest& req) { return x_GetRequests(req); }},
        {"POST", kRequests, WebRole::Operator, [this](const WebRequest& req) { return x_CreateRequest(req); }},
        {"DELETE", kRequests, WebRole::Operator, [this](const WebRequest& req) { return x_CancelRequest(req); }},
        {"GET", kAudit, WebRole::Operator, [this](const WebRequest& req) { return x_Audit(req); }},
    };
}

bool CFootageApi::x_MayRead(const WebRequest& req, bool* pTicket) const
{
    *pTicket = false;
    if (req.eRole == WebRole::Operator)
        return true;
    if (req.HasParam("ticket") && m_tickets.Check(req.strPath, req.Param("ticket"), WallClockNow())) {
        *pTicket = true;
        return true;
    }
    return false;
}

void CFootageApi::x_Note(const WebRequest& req, bool bTicket, const std::string& action, const std::string& object,
                         const std::string& detail, bool bThrottled)
{
    if (!m_parts.pAudit)
        return;
    AuditEntry entry;
    entry.strClient = req.strClientAddr;
    entry.strRole = bTicket ? "operator (ticket)" : WebRoleName(req.eRole);
    entry.strAction = action;
    entry.strObject = object;
    entry.strDetail = detail;
    if (bThrottled)
        m_parts.pAudit->AppendThrottled(entry);
    else
        m_parts.pAudit->Append(entry);
}

Json CFootageApi::x_RowJson(const CatalogueRow& row, std::uint32_t tNow) const
{
    const std::string url = std::string(kRecordings) + "/" + std::to_string(row.nId);
    Json json {
        {"id", row.nId},
        {"vehicle", ValidUtf8(row.strVehicle)},
        {"channel", row.nChannel},
        {"start", row.tStart},
        {"end", row.tEnd},
        {"size", row.nSize},
        {"path", ValidUtf8(row.strPath)},
        {"stored_at", row.tStoredAt},
        {"sha256", row.IsHashed() ? Json(row.strSha256) : Json(nullptr)},
        {"deleted_at", row.IsPresent() ? Json(nullptr) : Json(row.tDeletedAt)},
        {"url", url},
    };
    if (row.IsPresent())
        json["content_url"] = url + "/content?ticket=" + m_tickets.Issue(url + "/content", tNow);
    return json;
}

WebAnswer CFootageApi::x_GetRecordings(const WebRequest& req)
{
    if (!m_parts.pCatalogue || !m_parts.pCatalogue->IsOpen())
        return Error(503, "the recordings catalogue is not open");
    std::vector<std::string> parts = Segments(req.strPath, kRecordings);
    std::optional<std::int64_t> nId = IdOf(parts);
    if (parts.size() == 2 && nId && parts[1] == "content") {
        bool bTicket = false;
        if (!x_MayRead(req, &bTicket))
            return Refusal(req);
        return x_Content(req, *nId, bTicket);
    }
    if (req.eRole != WebRole::Operator)
        return Refusal(req);
    if (parts.empty())
        return x_List(req);
    if (parts.size() != 1 || !nId)
        return Error(404, "no such path");
    std::optional<CatalogueRow> row = m_parts.pCatalogue->Get(*nId);
    if (!row)
        return Error(404, "no such recording");
    x_Note(req, false, "recording.view", std::to_string(*nId), row->strPath, true);
    return JsonAnswer(200, x_RowJson(*row, WallClockNow()));
}

WebAnswer CFootageApi::x_ListAcrossDepots(const WebRequest& req, const CatalogueQuery& query)
{
    std::string strError = "no central database is configured";
    std::optional<DepotRecordingPage> page;
    const std::string self = m_parts.pCentral ? m_parts.pCentral->Status().strDepot : std::string();
    if (m_parts.pCentral && m_parts.pCentral->Status().bEnabled)
        page = m_parts.pCentral->RecordingsAcrossDepots(query, strError);
    if (!page)
        return Error(503, strError);
    if (!page->bValid)
        return Error(400, "after: not a cursor of this list");
    const std::uint32_t tNow = WallClockNow();
    Json rows = Json::array();
    for (const DepotRecording& rec : page->rows) {
        // This depot's own rows as the local list gives them; another's bytes are that
        // depot's to serve, never passed through here.
        Json json = rec.strDepot == self ? x_RowJson(rec.row, tNow) : Json::object();
        if (rec.strDepot != self) {
            std::string base = rec.strDepotUrl;
            while (!base.empty() && base.back() == '/')
                base.pop_back();
            const std::string path = std::string(kRecordings) + "/" + std::to_string(rec.row.nId);
            json = {{"id", rec.row.nId}, {"vehicle", ValidUtf8(rec.row.strVehicle)}, {"channel", rec.row.nChannel},
                    {"start", rec.row.tStart}, {"end", rec.row.tEnd}, {"size", rec.row.nSize},
                    {"path", ValidUtf8(rec.row.strPath)}, {"stored_at", rec.row.tStoredAt},
                    {"sha256", rec.row.IsHashed() ? Json(rec.row.strSha256) : Json(nullptr)},
                    {"deleted_at", nullptr},
                    {"url", base.empty() ? Json(nullptr) : Json(ValidUtf8(base + path))},
                    {"content_url", base.empty() ? Json(nullptr) : Json(ValidUtf8(base + path + "/content"))}};
        }
        json["depot"] = ValidUtf8(rec.strDepot);
        rows.push_back(std::move(json));
    }
    x_Note(req, false, "recordings.list", query.strVehicle,
           Format("scope=all vehicle=%s channel=%d from=%u to=%u after=%s", query.strVehicle.c_str(), query.nChannel,
                  query.tFrom, query.tTo, query.strAfter.c_str()),
           true);
    return JsonAnswer(200,
                      Json {{"recordings", rows}, {"next", page->strNext.empty() ? Json(nullptr) : Json(page->strNext)}});
}

WebAnswer CFootageApi::x_List(const WebRequest& req)
{
    CatalogueQuery query;
    query.strVehicle = req.Param("vehicle");
    if (req.HasParam("channel")) {
        std::optional<int> nChannel = Number<int>(req.Param("channel"), 1, 255);
        if (!nChannel)
            return Error(400, "channel: a number from 1 to 255");
        query.nChannel = *nChannel;
    }
    for (auto [name, pValue] : {std::pair {"from", &query.tFrom}, std::pair {"to", &query.tTo}}) {
        if (!req.HasParam(name))
            continue;
        std::optional<std::uint32_t> t = Number<std::uint32_t>(req.Param(name), 0, UINT32_MAX);
        if (!t)
            return Error(400, std::string(name) + ": wall-clock seconds");
        *pValue = *t;
    }
    if (req.HasParam("limit")) {
        std::optional<std::size_t> nLimit = Number<std::size_t>(req.Param("limit"), 1, CRecordingCatalogue::kMaxLimit);
        if (!nLimit)
            return Error(400, "limit: a number from 1 to " + std::to_string(CRecordingCatalogue::kMaxLimit));
        query.nLimit = *nLimit;
    }
    query.strAfter = req.Param("after");
    if (req.Param("scope") == "all")
        return x_ListAcrossDepots(req, query);
    CataloguePage page = m_parts.pCatalogue->Find(query);
    if (!page.bValid)
        return Error(400, "after: not a cursor of this list");
    const std::uint32_t tNow = WallClockNow();
    Json rows = Json::array();
    for (const CatalogueRow& row : page.rows)
        rows.push_back(x_RowJson(row, tNow));
    // The vehicle is the object, so that looking at one vehicle's footage is recorded
    // even right after a list of everything.
    x_Note(req, false, "recordings.list", query.strVehicle, Format("vehicle=%s channel=%d from=%u to=%u after=%s",
                                                    query.strVehicle.c_str(), query.nChannel, query.tFrom,
                                                    query.tTo, query.strAfter.c_str()),
           true);
    return JsonAnswer(200, Json {{"recordings", rows}, {"next", page.strNext.empty() ? Json(nullptr) : Json(page.strNext)}});
}

WebAnswer CFootageApi::x_Content(const WebRequest& req, std::int64_t nId, bool bTicket)
{
    std::optional<CatalogueRow> row = m_parts.pCatalogue->Get(nId);
    if (!row)
        return Error(404, "no such recording");
    if (!row->IsPresent())
        return Error(410, "retention deleted the recording at " + CEvidenceManifest::TimeText(row->tDeletedAt));
    const std::string path = m_parts.pCatalogue->AbsolutePath(*row);
    auto pFile = std::make_shared<CFile>();
    if (path.empty() || pFile->Open(path, CFile::Mode::Read) != 0)
        return Error(404, "the recording's file is missing");
    const std::int64_t nSize = pFile->Size();
    if (nSize < 0)
        return Error(500, "the recording's file cannot be read");
    WebAnswer answer = FileAnswer(req, pFile, static_cast<std::uint64_t>(nSize), "video/mp4");
    if (row->IsHashed())
        answer.headers.emplace_back("ETag", "\"" + row->strSha256 + "\"");
    answer.headers.emplace_back("Content-Disposition",
                                Disposition(SafeFileText(row->strVehicle) + Format("_ch%02d_", row->nChannel) +
                                            CompactTime(row->tStart) + ".mp4"));
    if (req.strMethod != "HEAD")
        x_Note(req, bTicket, "recording.download", std::to_string(nId), row->strPath, true);
    return answer;
}

WebAnswer CFootageApi::x_Verify(const WebRequest& req)
{
    if (!m_parts.pCatalogue || !m_parts.pCatalogue->IsOpen())
        return Error(503, "the recordings catalogue is not open");
    std::vector<std::string> parts = Segments(req.strPath, kRecordings);
    std::optional<std::int64_t> nId = IdOf(parts);
    if (parts.size() != 2 || !nId || parts[1] != "verify")
        return Error(404, "no such path");
    if (m_nHashing.fetch_add(1) != 0) {
        --m_nHashing;
        WebAnswer busy = Error(429, "another file is being hashed; try again");
        busy.headers.emplace_back("Retry-After", "1");
        return busy;
    }
    CatalogueVerify verdict = m_parts.pCatalogue->Verify(*nId);
    --m_nHashing;
    if (!verdict.bFound)
        return Error(404, "no such recording");
    const char* szOutcome = verdict.strActual.empty() ? "missing"
                            : verdict.strExpected.empty() ? "hashed now"
                            : verdict.bMatch             ? "match"
                                                         : "MISMATCH";
    x_Note(req, false, "recording.verify", std::to_string(*nId), szOutcome, false);
    return JsonAnswer(200, Json {
                               {"id", *nId},
                               {"match", verdict.bMatch},
                               {"outcome", szOutcome},
                               {"expected", verdict.strExpected.empty() ? Json(nullptr) : Json(verdict.strExpected)},
                               {"actual", verdict.strActual.empty() ? Json(nullptr) : Json(verdict.strActual)},
                               {"checked_at", WallClockNow()},
                           });
}

Json CFootageApi::x_RequestJson(const FootageRequest& request, bool bDetail, std::uint32_t tNow) const
{
    const std::string url = std::string(kRequests) + "/" + std::to_string(request.nId);
    Json json {
        {"id", request.nId},
        {"vehicle", ValidUtf8(request.ask.strVehicle)},
        {"channels", ChannelsJson(request.ask.channels)},
        {"from", request.ask.tFrom},
        {"to", request.ask.tTo},
        {"reason", ValidUtf8(request.ask.strReason)},
        {"requested_by", ValidUtf8(request.ask.strRequestedBy)},
        {"created_at", request.tCreated},
        {"state", FootageStateName(request.eState)},
        {"reasons", request.reasons},
        {"state_changed_at", request.tStateChanged},
        {"recording_count", request.nRecordings},
        // With a shared fleet: the request this one is a copy of, and the depot fetching it.
        {"origin_depot", request.strOriginDepot.empty() ? Json(nullptr) : Json(ValidUtf8(request.strOriginDepot))},
        {"origin_id", request.strOriginDepot.empty() ? Json(nullptr) : Json(request.nOriginId)},
        {"taken_by", request.strTakenBy.empty() ? Json(nullptr) : Json(ValidUtf8(request.strTakenBy))},
        {"url", url},
        {"manifest_url", url + "/manifest?ticket=" + m_tickets.Issue(url + "/manifest", tNow)},
        {"export_url", url + "/export?ticket=" + m_tickets.Issue(url + "/export", tNow)},
    };
    if (!bDetail)
        return json;
    Json recordings = Json::array();
    for (const FootageRecording& rec : request.recordings)
        recordings.push_back({{"channel", rec.nChannel},
                              {"file_name", ValidUtf8(rec.strFileName)},
                              {"start", rec.tStart},
                              {"end", rec.tEnd},
                              {"size", rec.nSize},
                              {"path", ValidUtf8(rec.strPath)},
                              {"fetched", rec.bFetched}});
    json["recordings"] = recordings;
    Json history = Json::array();
    for (const FootageStateChange& change : request.history)
        history.push_back({{"state", change.strState}, {"reasons", change.reasons}, {"at", change.tAt}});
    json["history"] = history;
    return json;
}

WebAnswer CFootageApi::x_GetRequests(const WebRequest& req)
{
    if (!m_parts.pRequests || !m_parts.pRequests->IsOpen())
        return Error(503, "footage requests are not open");
    std::vector<std::string> parts = Segments(req.strPath, kRequests);
    std::optional<std::int64_t> nId = IdOf(parts);
    const bool bBytes = parts.size() == 2 && nId && (parts[1] == "manifest" || parts[1] == "export");
    bool bTicket = false;
    if (bBytes ? !x_MayRead(req, &bTicket) : req.eRole != WebRole::Operator)
        return Refusal(req);
    const std::uint32_t tNow = WallClockNow();
    if (parts.empty()) {
        Json list = Json::array();
        for (const FootageRequest& request : m_parts.pRequests->List(CFootageRequests::kListMax))
            list.push_back(x_RequestJson(request, false, tNow));
        return JsonAnswer(200, Json {{"requests", list}});
    }
    if (!nId || parts.size() > 2 || (parts.size() == 2 && !bBytes))
        return Error(404, "no such path");
    std::optional<FootageRequest> request = m_parts.pRequests->Get(*nId);
    if (!request)
        return Error(404, "no such request");
    if (parts.size() == 1)
        return JsonAnswer(200, x_RequestJson(*request, true, tNow));
    return parts[1] == "manifest" ? x_Manifest(req, *request, bTicket) : x_Export(req, *request, bTicket);
}

bool CFootageApi::x_HashedRows(const FootageRequest& request, std::vector<CatalogueRow>& rows, WebAnswer& refusal)
{
    if (!m_parts.pCatalogue || !m_parts.pCatalogue->IsOpen()) {
        refusal = Error(503, "the recordings catalogue is not open");
        return false;
    }
    m_parts.pCatalogue->Flush();  // rows of recordings stored a moment ago
    std::map<std::string, CatalogueRow> byPath;
    std::vector<int> channels(request.ask.channels.begin(), request.ask.channels.end());
    for (CatalogueRow& row :
         m_parts.pCatalogue->Covering(request.ask.strVehicle, channels, request.ask.tFrom, request.ask.tTo))
        byPath[row.strPath] = std::move(row);
    for (const FootageRecording& rec : request.recordings) {
        auto it = byPath.find(rec.strPath);
        if (it == byPath.end()) {
            refusal = Error(409, "recording " + rec.strPath + " is not in the catalogue (deleted, or not yet listed)");
            return false;
        }
        if (!it->second.IsHashed()) {
            CatalogueVerify verdict = m_parts.pCatalogue->Verify(it->second.nId);
            std::optional<CatalogueRow> hashed = m_parts.pCatalogue->Get(it->second.nId);
            if (verdict.strActual.empty() || !hashed || !hashed->IsHashed()) {
                refusal = Error(409, "recording " + rec.strPath + " cannot be hashed");
                return false;
            }
            it->second = *hashed;
        }
        rows.push_back(it->second);
    }
    return true;
}

bool CFootageApi::x_ManifestText(const FootageRequest& request, std::string& text, WebAnswer& refusal)
{
    if (m_nHashing.fetch_add(1) != 0) {
        --m_nHashing;
        refusal = Error(429, "another file is being hashed; try again");
        refusal.headers.emplace_back("Retry-After", "1");
        return false;
    }
    std::vector<CatalogueRow> rows;
    const bool bHashed = x_HashedRows(request, rows, refusal);
    --m_nHashing;
    if (!bHashed)
        return false;
    std::vector<EvidenceFile> files;
    for (const CatalogueRow& row : rows)
        files.push_back({row.strPath, row.nSize, row.tStart, row.tEnd, row.strSha256});
    std::string strError;
    if (!CEvidenceManifest::Make(request, files, WallClockNow(), text, strError)) {
        refusal = Error(409, strError);
        return false;
    }
    return true;
}

bool CFootageApi::x_TakersManifestText(const FootageRequest& request, std::string& text, WebAnswer& refusal)
{
    std::string strError = "no central database is configured";
    std::optional<std::vector<EvidenceFile>> files;
    if (m_parts.pCentral && m_parts.pCentral->Status().bEnabled)
        files = m_parts.pCentral->TakersFiles(request.strTakenBy, request.nId, strError);
    if (!files) {
        refusal = Error(503, strError);
        return false;
    }
    for (const EvidenceFile& file : *files) {
        if (file.strSha256.empty()) {
            refusal = Error(409, "recording " + file.strPath + " is not hashed yet at depot " + request.strTakenBy);
            return false;
        }
    }
    if (!CEvidenceManifest::Make(request, *files, WallClockNow(), text, strError)) {
        refusal = Error(409, strError);
        return false;
    }
    return true;
}

WebAnswer CFootageApi::x_Manifest(const WebRequest& req, const FootageRequest& request, bool bTicket)
{
    std::string text;
    WebAnswer refusal;
    // A request of ours fetched by another depot: its files are listed from that depot's
    // copy in the shared database.
    const bool bElsewhere = x_TakenElsewhere(request);
    if (!(bElsewhere ? x_TakersManifestText(request, text, refusal) : x_ManifestText(request, text, refusal)))
        return refusal;
    x_Note(req, bTicket, "request.manifest", std::to_string(request.nId), "", true);
    WebAnswer answer = WebAnswer::Text(200, std::move(text));
    answer.headers.emplace_back("Content-Disposition",
                                Disposition(ManifestName(request)));
    return answer;
}

bool CFootageApi::x_TakenElsewhere(const FootageRequest& request) const
{
    return request.strOriginDepot.empty() && !request.strTakenBy.empty() && m_parts.pCentral &&
           request.strTakenBy != m_parts.pCentral->Status().strDepot;
}

WebAnswer CFootageApi::x_Export(const WebRequest& req, const FootageRequest& request, bool bTicket)
{
    // The bytes are at the depot that fetched them; this one never passes them through.
    if (x_TakenElsewhere(request))
        return Error(409, "the recordings of this request are held by depot " + request.strTakenBy +
                              "; export it there");
    std::string manifest;
    WebAnswer refusal;
    if (!x_ManifestText(request, manifest, refusal))
        return refusal;
    std::vector<CatalogueRow> rows;
    if (!x_HashedRows(request, rows, refusal))
        return refusal;
    std::vector<ZipFileEntry> entries;
    for (const CatalogueRow& row : rows) {
        const std::string path = m_parts.pCatalogue->AbsolutePath(row);
        CFile file;
        // A file that changed since it was hashed would make an archive whose check fails.
        if (path.empty() || file.Open(path, CFile::Mode::Read) != 0 || file.Size() != std::int64_t(row.nSize))
            return Error(409, "recording " + row.strPath + " is missing or changed since it was stored; verify it");
        entries.push_back({row.strPath, path, row.nSize, row.nCrc32, row.tStoredAt});
    }
    ZipPlan plan;
    std::string strError;
    if (!CZipExport::Plan(entries, "manifest.json", manifest, WallClockNow(), plan, strError))
        return Error(500, strError);
    WebAnswer answer;
    answer.strContentType = "application/zip";
    for (ZipPiece& piece : plan.pieces) {
        if (piece.eKind == ZipPiece::Kind::Bytes)
            answer.body.AddBytes(std::move(piece.bytes));
        else if (answer.body.AddFile(piece.strPath, static_cast<std::int64_t>(piece.nOffset), piece.nLength) != 0)
            return Error(409, "a recording of the request cannot be opened");
    }
    answer.headers.emplace_back("Content-Disposition",
                                Disposition(CZipExport::ExportName(request.ask.strVehicle, request.ask.channels,
                                                                   request.ask.tFrom, request.ask.tTo)));
    if (req.strMethod != "HEAD")
        x_Note(req, bTicket, "request.export", std::to_string(request.nId),
               Format("%zu recordings, %llu bytes", rows.size(), static_cast<unsigned long long>(plan.nTotal)), true);
    return answer;
}

WebAnswer CFootageApi::x_CreateRequest(const WebRequest& req)
{
    if (!m_parts.pRequests || !m_parts.pRequests->IsOpen())
        return Error(503, "footage requests are not open");
    if (Segments(req.strPath, kRequests).size() != 0)
        return Error(404, "no such path");
    Json body = Json::parse(req.strBody, nullptr, false);
    if (body.is_discarded() || !body.is_object())
        return Error(400, "the body must be a JSON object");
    FootageAsk ask;
    try {
        ask.strVehicle = body.at("vehicle").get<std::string>();
        for (const Json& n : body.value("channels", Json::array())) {
            // Out of a byte's range reads as 0, which the request's own check refuses.
            const bool bByte = n.is_number_integer() && n.get<std::int64_t>() >= 0 && n.get<std::int64_t>() <= 255;
            ask.channels.push_back(bByte ? static_cast<std::uint8_t>(n.get<std::int64_t>()) : 0);
        }
        ask.tFrom = body.at("from").get<std::uint32_t>();
        ask.tTo = body.at("to").get<std::uint32_t>();
        ask.strReason = body.value("reason", std::string());
    } catch (const Json::exception&) {
        return Error(400, "vehicle (text), from and to (wall-clock seconds), channels (numbers) and reason (text)");
    }
    ask.strRequestedBy = std::string(WebRoleName(req.eRole)) + "@" + req.strClientAddr;
    std::int64_t nId = 0;
    std::string strError;
    switch (m_parts.pRequests->Create(ask, WallClockNow(), nId, strError)) {
    case CFootageRequests::CreateResult::Created:
        break;
    case CFootageRequests::CreateResult::Invalid:
        return Error(400, strError);
    case CFootageRequests::CreateResult::Failed:
        return Error(500, "the request could not be stored");
    }
    x_Note(req, false, "request.create", std::to_string(nId),
           Format("%s %u-%u: %s", ask.strVehicle.c_str(), ask.tFrom, ask.tTo, ask.strReason.c_str()), false);
    WebAnswer answer = JsonAnswer(201, Json {{"id", nId}, {"url", std::string(kRequests) + "/" + std::to_string(nId)}});
    answer.headers.emplace_back("Location", std::string(kRequests) + "/" + std::to_string(nId));
    return answer;
}

WebAnswer CFootageApi::x_CancelRequest(const WebRequest& req)
{
    if (!m_parts.pRequests || !m_parts.pRequests->IsOpen())
        return Error(503, "footage requests are not open");
    std::vector<std::string> parts = Segments(req.strPath, kRequests);
    std::optional<std::int64_t> nId = IdOf(parts);
    if (parts.size() != 1 || !nId)
        return Error(404, "no such path");
    switch (m_parts.pRequests->Cancel(*nId, WallClockNow())) {
    case CFootageRequests::CancelResult::Cancelled:
        break;
    case CFootageRequests::CancelResult::NotFound:
        return Error(404, "no such request");
    case CFootageRequests::CancelResult::Ended:
        return Error(409, "the request has ended");
    case CFootageRequests::CancelResult::Failed:
        return Error(500, "the request could not be cancelled");
    }
    x_Note(req, false, "request.cancel", std::to_string(*nId), "", false);
    return JsonAnswer(200, Json {{"id", *nId}, {"state", "cancelled"}});
}

WebAnswer CFootageApi::x_Audit(const WebRequest& req)
{
    if (!m_parts.pAudit || !m_parts.pAudit->IsOpen())
        return Error(503, "the audit trail is not open");
    if (Segments(req.strPath, kAudit).size() != 0)
        return Error(404, "no such path");
    std::size_t nLimit = 100;
    if (req.HasParam("limit")) {
        std::optional<std::size_t> n = Number<std::size_t>(req.Param("limit"), 1, CAuditLog::kMaxLimit);
        if (!n)
            return Error(400, "limit: a number from 1 to " + std::to_string(CAuditLog::kMaxLimit));
        nLimit = *n;
    }
    AuditPage page = m_parts.pAudit->List(nLimit, req.Param("after"));
    if (!page.bValid)
        return Error(400, "after: not a cursor of this list");
    Json entries = Json::array();
    for (const AuditEntry& entry : page.entries)
        entries.push_back({{"id", entry.nId},
                           {"time", entry.tTime},
                           {"client", ValidUtf8(entry.strClient)},
                           {"role", ValidUtf8(entry.strRole)},
                           {"action", ValidUtf8(entry.strAction)},
                           {"object", ValidUtf8(entry.strObject)},
                           {"detail", ValidUtf8(entry.strDetail)}});
    return JsonAnswer(200, Json {{"audit", entries}, {"next", page.strNext.empty() ? Json(nullptr) : Json(page.strNext)}});
}
