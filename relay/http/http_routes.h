// What the relay answers to each HTTP request: the status page, the cast feed, the metrics and
// the health check, from a snapshot of the relay. No sockets here.
#pragma once

#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/string_body.hpp>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "relay/cast/status_snapshot.h"
#include "relay/store/recording_row.h"

namespace kavro::relay {

using HttpRequest = boost::beast::http::request<boost::beast::http::string_body>;
using HttpResponse = boost::beast::http::response<boost::beast::http::string_body>;

// Requests larger than this, head and body together, are not read to their end.
inline constexpr std::size_t kMaxHttpRequestBytes = 8 * 1024;

// What answering `request` needs: a snapshot of the relay, the archive, one recording, or
// nothing (unknown paths and methods).
enum class HttpNeed { kNothing, kStatus, kArchive, kReplay };
HttpNeed what_it_needs(const HttpRequest& request);
// Whether answering `request` needs a snapshot of the relay.
inline bool needs_status(const HttpRequest& request) {
    return what_it_needs(request) == HttpNeed::kStatus;
}
// The recording `target` (/replays/ID.mpr) asks for.
std::optional<std::uint64_t> replay_id_of(std::string_view target);

// The most recordings one page of /archive.json gives, and what it gives when not asked.
inline constexpr std::size_t kArchivePageLimit = 100;

// What /archive.json?limit=N&before=ID asks for: at most `limit` recordings older than
// `before` (the newest, without it).
struct ArchiveQuery {
    std::optional<std::uint64_t> before;
    std::size_t limit = kArchivePageLimit;
};
// The page `target`'s query asks for; nothing when `limit` or `before` is not a whole number
// in range (limit 1 to kArchivePageLimit, before from 1) or is given twice. Other parameters
// are ignored, as a website may add one to get past a cache.
std::optional<ArchiveQuery> archive_query_of(std::string_view target);

// GET /archive.json: one page.
HttpResponse archive_answer(const HttpRequest& request, const ArchivePage& page, bool keeping);
// GET /archive.json with parameters it cannot use: 400, saying which are allowed.
HttpResponse bad_archive_query_answer(const HttpRequest& request);

// A download: its head, and the part of the file its body carries (none for HEAD).
struct ReplayAnswer {
    boost::beast::http::response<boost::beast::http::empty_body> head;
    std::uint64_t first = 0;
    std::uint64_t length = 0;
};
// GET or HEAD of /replays/ID.mpr for `replay` (nothing: no such recording): a download, or an
// answer of its own (404, 416).
std::variant<ReplayAnswer, HttpResponse> replay_answer(const HttpRequest& request,
                                                       const std::optional<ReplayFile>& replay);
// "Club_race_R3-2026-12-09.mpr": the cast's name in letters, digits, '-', '_' and '.' only (a
// space becomes '_'), then the day it began (UTC).
std::string replay_file_name(const RecordingRow& row);
// A strong validator: the recording, its start and the bytes stored. A live recording only
// grows, so each of its sizes is a different, never changing, file.
std::string replay_etag(const RecordingRow& row);
// The answer to `request`; a HEAD answer has the GET answer's headers and no body.
HttpResponse answer(const HttpRequest& request, const StatusSnapshot& status);
// The answer to every request on a connection the relay has no place for.
HttpResponse relay_full_answer(const HttpRequest& request);
// The answer to a request that is not HTTP the relay understands.
HttpResponse bad_request_answer();
// The answer to a request from a banned address: 403, and the connection is closed.
HttpResponse banned_answer(const HttpRequest& request);
// The answer to a request past the requests in progress one address may have: 429, closed.
HttpResponse too_many_requests_answer(const HttpRequest& request);
// The admin listener's answer to anything but an admin path: 404.
HttpResponse admin_only_answer(const HttpRequest& request);

}  // namespace kavro::relay
