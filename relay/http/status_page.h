// GET /: the status page for people. A fixed document whose script fetches casts.json every
// two seconds and redraws the list in place, and archive.json every ten for its "Recent races"
// table with download links; every text from a client goes into the page as text
// (textContent), never as markup.
#pragma once

#include <string_view>

namespace kavro::relay {

std::string_view status_page_html();

// What the page may load and run: its own inline script and style, and casts.json and
// archive.json from where it came.
inline constexpr std::string_view kStatusPagePolicy =
    "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; "
    "connect-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

}  // namespace kavro::relay
