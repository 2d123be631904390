// What our private copy of libmdb links to instead of parts of the C library and of libmdb itself (the build
// makes the copy: see libmdb.redefine and the top CMakeLists.txt).
//
// - libmdb reports damaged input on stdout and stderr, and reads environment variables (MDBOPTS, MDBICONV,
//   MDB_JET3_CHARSET, ...) that change how it reads a file. A host's streams are not ours to write to and its
//   environment must not change what a catalog contains, so for libmdb alone the standard streams are a sink
//   that drops everything and the environment is empty. Nothing global changes, so this is safe while other
//   threads of the host print.
// - libmdb's options.o and backend.o keep state in thread-local variables of a model that cannot go into a
//   shared library, and serve nothing the reader uses (debug options read from MDBOPTS; the schema writers of
//   the mdb-* commands). They are left out of the copy and replaced here by what the rest of libmdb calls.

#include <glib.h>  // before mdbtools.h, which includes it inside extern "C"
#include <mdbtools.h>
#include <stdio.h>

#include <cstdarg>
#include <cstddef>

#define VD_MDB_SHIM extern "C" __attribute__((visibility("hidden")))
#define VD_MDB_HIDDEN __attribute__((visibility("hidden")))

namespace {

ssize_t DropWrite(void*, const char*, size_t size) { return static_cast<ssize_t>(size); }

FILE* OpenSink() {
  cookie_io_functions_t functions{};
  functions.write = &DropWrite;
  FILE* sink = fopencookie(nullptr, "w", functions);
  // Without a sink libmdb would write through a null stream; the real one is the lesser harm.
  return sink ? sink : stderr;
}

}  // namespace

// One sink for the life of the process (never closed: libmdb may write to it until exit).
extern "C" {
VD_MDB_HIDDEN FILE* vd_mdb_stderr = OpenSink();
VD_MDB_HIDDEN FILE* vd_mdb_stdout = vd_mdb_stderr;
}

VD_MDB_SHIM int vd_mdb_printf(const char*, ...) { return 0; }
VD_MDB_SHIM int vd_mdb_vprintf(const char*, va_list) { return 0; }
VD_MDB_SHIM int vd_mdb_printf_chk(int, const char*, ...) { return 0; }
VD_MDB_SHIM int vd_mdb_vprintf_chk(int, const char*, va_list) { return 0; }
VD_MDB_SHIM int vd_mdb_puts(const char*) { return 0; }
VD_MDB_SHIM int vd_mdb_putchar(int c) { return c; }
VD_MDB_SHIM void vd_mdb_perror(const char*) {}
VD_MDB_SHIM char* vd_mdb_getenv(const char*) { return nullptr; }
VD_MDB_SHIM char* vd_mdb_secure_getenv(const char*) { return nullptr; }

// options.o: no debug option is ever on.
VD_MDB_SHIM int mdb_get_option(unsigned long) { return 0; }
VD_MDB_SHIM void mdb_debug(int, char*, ...) {}

// backend.o: mdb_open selects the "access" schema backend and mdb_close releases the backends; the reader
// writes no schema, so there are none.
VD_MDB_SHIM int mdb_set_default_backend(MdbHandle* mdb, const char*) {
  mdb->default_backend = nullptr;
  return 1;
}
VD_MDB_SHIM void mdb_remove_backends(MdbHandle* mdb) { mdb->backends = nullptr; }
VD_MDB_SHIM const char* mdb_get_colbacktype_string(const MdbColumn*) { return ""; }
