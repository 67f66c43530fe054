/* Preloaded into a test process: opening a path that contains "ornix-slow-open" takes half a
 * second, so that a test can watch what other threads do while a port is being opened. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdarg.h>
#include <string.h>
#include <unistd.h>

static void pause_if_slow(const char* path) {
    if (path != NULL && strstr(path, "ornix-slow-open") != NULL) {
        usleep(500000);
    }
}

#define INTERPOSE(name)                                                     \
    int name(const char* path, int flags, ...) {                            \
        static int (*real)(const char*, int, ...);                          \
        mode_t mode = 0;                                                    \
        if (flags & O_CREAT) {                                              \
            va_list args;                                                   \
            va_start(args, flags);                                          \
            mode = va_arg(args, mode_t);                                    \
            va_end(args);                                                   \
        }                                                                   \
        if (real == NULL) {                                                 \
            real = (int (*)(const char*, int, ...))dlsym(RTLD_NEXT, #name); \
        }                                                                   \
        pause_if_slow(path);                                                \
        return real(path, flags, mode);                                     \
    }

INTERPOSE(open)
INTERPOSE(open64)
