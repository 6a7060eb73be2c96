// Sanitizer defaults of every test program (Linux): what the runtime must
// not report from uninstrumented libraries. Linked into each test program
// itself, so that the runtime finds these functions at start.

// The toolkit's libraries keep caches for the life of the process (fontconfig's
// font lists, D-Bus and GLib singletons) that LeakSanitizer reports at exit;
// their stacks end inside those uninstrumented libraries, so only those are
// named. Leaks of ours show frames of our own code.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n"
           "leak:libdbus-1.so\n"
           "leak:libglib-2.0.so\n"
           "leak:libgobject-2.0.so\n"
           "leak:libgtk-3.so\n"
           "leak:libgdk-3.so\n"
           "leak:libpango\n"
           "leak:libcairo.so\n";
}

// GLib's worker threads (D-Bus, the settings portal) synchronise through
// atomics inside uninstrumented libraries, which ThreadSanitizer cannot see.
// libpulse hands memory between its threads through lock-free lists built
// the same way, so its internal copies into reused packets and tag
// structures are reported as races. Only reports with an access inside the
// libraries themselves are silenced: our own code runs instrumented and its
// stacks do not name them.
extern "C" const char* __tsan_default_suppressions() {
    return "race:libglib-2.0.so\n"
           "race:libgio-2.0.so\n"
           "race:libgobject-2.0.so\n"
           "race:libdbus-1.so\n"
           "race:libgtk-3.so\n"
           "race:libgdk-3.so\n"
           "race:libfontconfig.so\n"
           "race:libpulsecommon\n"
           "race:libpulse.so\n"
           "race:libpulse-simple.so\n";
}
