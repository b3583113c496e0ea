// A stand-in for CoreFoundation with one function and one data symbol, enough to tell
// that the library was loaded and names resolve in it.
extern "C" {

__attribute__((visibility("default"))) const void *kCFBooleanTrue = &kCFBooleanTrue;

__attribute__((visibility("default"))) void CFRelease(const void *) { }
}
