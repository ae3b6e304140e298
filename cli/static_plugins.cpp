// Linked into quorvin-cli only when it is one static program (cli/CMakeLists.txt wraps these two
// calls). HDF5 looks for filter plugins with dlopen; a static program cannot load them safely (a
// plugin built against the shared HDF5 would bring a second HDF5 and C library), and glibc warns
// at link time about any static program that calls dlopen. Every look-up is answered as when no
// plugin is installed: quorvin-cli writes with HDF5's built-in deflate alone.

extern "C" {

// The names the linker's --wrap gives the calls.
void* __wrap_dlopen(const char*, int) { return nullptr; }

char* __wrap_dlerror() {
  static char message[] = "quorvin-cli is a static program and loads no HDF5 plugins";
  return message;
}

}  // extern "C"
