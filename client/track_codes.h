// The simulator's track codes offered by the track chooser, in the chooser's order.
#pragma once

namespace kavro {

inline constexpr const char* kTrackCodes[] = {
    "BL1",  "BL1r", "BL2",  "BL2r", "BL3",  "SO1",  "SO1r", "SO2",  "SO2r", "SO3",  "SO3r",
    "SO4",  "SO4r", "SO5",  "SO5r", "FE1",  "FE1r", "FE2",  "FE2r", "FE3",  "FE3r", "FE4",
    "FE4r", "FE5",  "FE5r", "FE6",  "FE6r", "AU1",  "AU2",  "AU3",  "AU4",  "KY1",  "KY1r",
    "KY2",  "KY2r", "KY3",  "KY3r", "WE1",  "WE1r", "AS1",  "AS1r", "AS2",  "AS2r", "AS3",
    "AS3r", "AS4",  "AS4r", "AS5",  "AS5r", "AS6",  "AS6r", "AS7",  "AS7r"};

static_assert(sizeof(kTrackCodes) / sizeof(kTrackCodes[0]) == 53);

}  // namespace kavro
