// The window's control identifiers (what WM_COMMAND, WM_NOTIFY and WM_DRAWITEM name) and timer
// identifiers. Kept clear of IDOK and IDCANCEL, which the dialog keys send.
#pragma once

namespace kavro::win32 {

enum ControlId : int {
    kIdCast = 101,
    kIdWatch,
    kIdStop,
    kIdAbout,
    kIdDebugGroup,
    kIdDebug,
    kIdCastGroup,
    kIdCastNameLabel,
    kIdCastName,
    kIdTrackLabel,
    kIdTrack,
    kIdCast1,
    kIdWatchGroup,
    kIdServerList,
    kIdWatch1,
    kIdRefresh,
    kIdSocketData,
};

enum TimerId : unsigned { kTimer1 = 1, kTimer2 = 2 };

}  // namespace kavro::win32
