// Qt's font set-up keeps a few fontconfig blocks until the process ends; they are not ours.
extern "C" __attribute__((used)) const char* __lsan_default_suppressions() {
  return "leak:libfontconfig.so\n";
}
