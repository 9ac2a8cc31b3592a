// /casts.json: the live casts and the relay's totals as JSON, for a league's website. The
// field names are part of the relay's interface (docs/relay-operations.md lists them); add
// fields, never rename them.
#pragma once

#include <string>

#include "relay/cast/status_snapshot.h"

namespace kavro::relay {

std::string casts_json(const StatusSnapshot& status);

}  // namespace kavro::relay
