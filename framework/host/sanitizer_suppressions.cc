// sanitizer_suppressions.cc - the reports that the sanitizers drop in every
// program that links libnorix.
//
// The sanitizer runtimes read these two functions from the program itself
// (a definition inside a shared library loses to the runtime's own empty
// one), so this file is a static library of its own (target
// norix_sanitize) that libnorix's users link into each program, with -u
// flags that keep it in the link. In a program built without a sanitizer
// nothing reads them.

extern "C" const char* __tsan_default_suppressions();
extern "C" const char* __lsan_default_suppressions();

// Read by ThreadSanitizer. The HTTP library of the web panel and the
// runtime's endpoint is not built with the sanitizer, and passes its
// connections between its threads through atomics that it does not see.
// The panel's graph layout runs the Graphviz library and, below it, pango,
// fontconfig and glib, which hand their own memory between their threads in
// ways it does not see either. Only reports from within these libraries
// are dropped: our handlers that they call are checked as any code of ours,
// and our calls into Graphviz are serialised by the panel's layout mutex.
extern "C" const char* __tsan_default_suppressions() {
  return "called_from_lib:libcpp-httplib.so\n"
         "called_from_lib:libglib-2.0.so\n"
         "called_from_lib:libgobject-2.0.so\n"
         "called_from_lib:libfontconfig.so\n"
         "called_from_lib:libpango-1.0.so\n"
         "called_from_lib:libpangoft2-1.0.so\n"
         "called_from_lib:libpangocairo-1.0.so\n"
         "called_from_lib:libcairo.so\n"
         "called_from_lib:libgvc.so\n";
}

// Read by LeakSanitizer: Graphviz and fontconfig keep memory of their own
// for good (font data, once, and a few KiB per graph laid out; the panel
// lays out each machine once per structure), which it reports as leaked.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libgvc.so\n"
         "leak:libcgraph.so\n"
         "leak:libfontconfig.so\n"
         "leak:libpango-1.0.so\n"
         "leak:libpangoft2-1.0.so\n"
         "leak:libglib-2.0.so\n";
}
