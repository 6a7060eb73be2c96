// The toolkit's own side of the desktop session (toolkit/session.cpp).
#pragma once

// From the display's opening on: termination signals and the display's end
// are reported with user_event_session_end.
void session_watch_start();
