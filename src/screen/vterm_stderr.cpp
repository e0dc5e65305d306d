// Debian's libvterm.a is compiled for executables: every reference in it
// suits a shared object but one, vterm.o's PC-relative use of glibc's
// `stderr`, which only an executable can satisfy (by copying the variable).
// The build renames that symbol in its copy of the archive to this one, a
// pointer of our own holding the same stream, so that the library links
// statically into the extension module. libvterm writes to it only on its
// own failure paths.

#include <cstdio>

extern "C" {
__attribute__((visibility("hidden"))) FILE* morvik_vterm_stderr = stderr;
}
