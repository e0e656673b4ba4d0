// Leak checking in the sanitizer build: the process's Qt application object
// lives to the end (see TestApp), and with it the font database, whose
// fontconfig patterns and sets are never handed back. Those allocations are
// made inside fontconfig and reported as leaks at exit; nothing of ours is
// in them, so they are not counted. Read by LeakSanitizer only.
// Visible, so that the sanitizer runtime finds it in place of its own.
extern "C" __attribute__((visibility("default"))) const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n";
}
