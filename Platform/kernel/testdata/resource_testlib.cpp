// A small library with resources, loaded by the loader's and the type library's tests.
extern "C" __attribute__((visibility("default"))) int ResourceTestLibraryAnswer() { return 42; }
