// A stand-in for a database client DLL on Windows, where the vendors' own
// cannot be had for the tests: it loads like one but exports none of its
// functions, so a test sees which file name was loaded and from where.
extern "C" int lumacor_fake_client() { return 1; }
