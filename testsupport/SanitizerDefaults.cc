// Sanitizer settings baked into the sanitizer build's programs, so a plain
// `ctest` in that build behaves as the test command does.
//
// GCC 12's runtime (and LLVM's up to 16) takes a dynamic TLS block that
// happens to start 16 bytes past a page boundary for an old glibc layout
// and reads the two words before it as a range; the leak checker then
// crashes at exit ("Tracer caught signal 11") after every test passed.
// The client libraries we load at run time (libfbclient above all) use
// dynamic TLS, so whether a run trips over it depends only on where malloc
// put those blocks. Not intercepting __tls_get_addr avoids the bad read;
// leaks are still checked.
#if defined(__SANITIZE_ADDRESS__)
extern "C" const char* __asan_default_options() { return "intercept_tls_get_addr=0"; }
#endif
