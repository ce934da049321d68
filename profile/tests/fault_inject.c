// A fault injector, loaded with LD_PRELOAD in front of the C library. It wraps
// the file calls a profile write makes, counts them while armed, and makes one
// chosen call fail:
//
//   FAULT_CALL=<kind> FAULT_NTH=<k> FAULT_ERRNO=<n>
//       the k-th call (from 1) of that kind after arming fails with errno n.
//       The call is not made, except close: on Linux the descriptor is gone
//       even when close reports an error, so it is closed and then fails.
//   FAULT_COUNTS=<path>
//       written when disarmed: a "count <kind> <n>" line per kind called, a
//       "trace <kind>..." line with the calls in their order, and
//       "injected <n>".
//
// A kind stands for all the names of one call (open also covers open64 and
// the fortified __open_2 and __open64_2, read covers __read_chk, and so on).
// The program arms the injector around the calls under test with
// fault_arm(1) and disarms it with fault_arm(0), found with dlsym so that the
// program runs without the injector too; while disarmed every call passes
// straight through.
#define _GNU_SOURCE
#undef _FORTIFY_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

enum Kind {
    K_OPEN,
    K_OPENAT,
    K_READ,
    K_PREAD,
    K_WRITE,
    K_PWRITE,
    K_FSYNC,
    K_FDATASYNC,
    K_RENAME,
    K_RENAMEAT,
    K_RENAMEAT2,
    K_LINK,
    K_LINKAT,
    K_FLOCK,
    K_CLOSE,
    K_FTRUNCATE,
    K_FALLOCATE,
    K_UNLINK,
    K_UNLINKAT,
    K_FCHMOD,
    K_FCHOWN,
    K_KINDS
};

static const char* const kind_names[K_KINDS] = {
    "open",      "openat",    "read",      "pread",     "write",    "pwrite", "fsync",
    "fdatasync", "rename",    "renameat",  "renameat2", "link",     "linkat", "flock",
    "close",     "ftruncate", "fallocate", "unlink",    "unlinkat", "fchmod", "fchown"};

static int armed;
static int fault_kind = -1;
static long fault_nth;
static int fault_errno;
static long counts[K_KINDS];
static unsigned char trace[16384];
static size_t trace_length;
static long injected;

// Counts a call of `kind`; true when this call is the one to fail (errno is
// then set).
static int fails(enum Kind kind) {
    if (!armed) return 0;
    const long n = ++counts[kind];
    if (trace_length < sizeof trace) trace[trace_length++] = (unsigned char)kind;
    if ((int)kind != fault_kind || n != fault_nth) return 0;
    ++injected;
    errno = fault_errno;
    return 1;
}

// The next definition of `name` after this library (the C library's, or a
// sanitizer's wrapper of it), looked up on first use.
#define NEXT(fn, name)                             \
    do {                                           \
        if (!fn) {                                 \
            void* found_ = dlsym(RTLD_NEXT, name); \
            if (!found_) abort();                  \
            memcpy(&fn, &found_, sizeof found_);   \
        }                                          \
    } while (0)

void fault_arm(int on);

void fault_arm(int on) {
    if (on) {
        const char* call = getenv("FAULT_CALL");
        const char* nth = getenv("FAULT_NTH");
        const char* error = getenv("FAULT_ERRNO");
        fault_kind = -1;
        for (int k = 0; call && k < K_KINDS; ++k) {
            if (strcmp(call, kind_names[k]) == 0) fault_kind = k;
        }
        fault_nth = nth ? atol(nth) : 0;
        fault_errno = error ? atoi(error) : EIO;
        memset(counts, 0, sizeof counts);
        trace_length = 0;
        injected = 0;
        armed = 1;
        return;
    }
    armed = 0;
    const char* path = getenv("FAULT_COUNTS");
    if (!path) return;
    const int saved = errno;
    FILE* out = fopen(path, "w");
    if (out) {
        for (int k = 0; k < K_KINDS; ++k) {
            if (counts[k] > 0) fprintf(out, "count %s %ld\n", kind_names[k], counts[k]);
        }
        fputs("trace", out);
        for (size_t i = 0; i < trace_length; ++i) fprintf(out, " %s", kind_names[trace[i]]);
        fprintf(out, "\ninjected %ld\n", injected);
        fclose(out);
    }
    errno = saved;
}

// open and openat take a mode only when they may create a file.
static int takes_mode(int flags) {
    return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE;
}

#define OPEN_WRAPPER(name)                         \
    int name(const char* path, int flags, ...) {   \
        static int (*real)(const char*, int, ...); \
        NEXT(real, #name);                         \
        mode_t mode = 0;                           \
        if (takes_mode(flags)) {                   \
            va_list ap;                            \
            va_start(ap, flags);                   \
            mode = (mode_t)va_arg(ap, int);        \
            va_end(ap);                            \
        }                                          \
        if (fails(K_OPEN)) return -1;              \
        return real(path, flags, mode);            \
    }
OPEN_WRAPPER(open)
OPEN_WRAPPER(open64)

#define OPENAT_WRAPPER(name)                              \
    int name(int dir, const char* path, int flags, ...) { \
        static int (*real)(int, const char*, int, ...);   \
        NEXT(real, #name);                                \
        mode_t mode = 0;                                  \
        if (takes_mode(flags)) {                          \
            va_list ap;                                   \
            va_start(ap, flags);                          \
            mode = (mode_t)va_arg(ap, int);               \
            va_end(ap);                                   \
        }                                                 \
        if (fails(K_OPENAT)) return -1;                   \
        return real(dir, path, flags, mode);              \
    }
OPENAT_WRAPPER(openat)
OPENAT_WRAPPER(openat64)

// The fortified entry points (_FORTIFY_SOURCE) of open and openat.
#define OPEN_2_WRAPPER(name)                  \
    int name(const char* path, int flags);    \
    int name(const char* path, int flags) {   \
        static int (*real)(const char*, int); \
        NEXT(real, #name);                    \
        if (fails(K_OPEN)) return -1;         \
        return real(path, flags);             \
    }
OPEN_2_WRAPPER(__open_2)
OPEN_2_WRAPPER(__open64_2)

#define OPENAT_2_WRAPPER(name)                       \
    int name(int dir, const char* path, int flags);  \
    int name(int dir, const char* path, int flags) { \
        static int (*real)(int, const char*, int);   \
        NEXT(real, #name);                           \
        if (fails(K_OPENAT)) return -1;              \
        return real(dir, path, flags);               \
    }
OPENAT_2_WRAPPER(__openat_2)
OPENAT_2_WRAPPER(__openat64_2)

// A wrapper that fails with -1 or makes the call.
#define WRAPPER(kind, ret, name, params, args) \
    ret name params {                          \
        static ret(*real) params;              \
        NEXT(real, #name);                     \
        if (fails(kind)) return -1;            \
        return real args;                      \
    }

WRAPPER(K_READ, ssize_t, read, (int fd, void* buffer, size_t size), (fd, buffer, size))
WRAPPER(K_PREAD, ssize_t, pread, (int fd, void* buffer, size_t size, off_t offset),
        (fd, buffer, size, offset))
WRAPPER(K_PREAD, ssize_t, pread64, (int fd, void* buffer, size_t size, off64_t offset),
        (fd, buffer, size, offset))
WRAPPER(K_WRITE, ssize_t, write, (int fd, const void* buffer, size_t size), (fd, buffer, size))
WRAPPER(K_PWRITE, ssize_t, pwrite, (int fd, const void* buffer, size_t size, off_t offset),
        (fd, buffer, size, offset))
WRAPPER(K_PWRITE, ssize_t, pwrite64, (int fd, const void* buffer, size_t size, off64_t offset),
        (fd, buffer, size, offset))
WRAPPER(K_FSYNC, int, fsync, (int fd), (fd))
WRAPPER(K_FDATASYNC, int, fdatasync, (int fd), (fd))
WRAPPER(K_RENAME, int, rename, (const char* from, const char* to), (from, to))
WRAPPER(K_RENAMEAT, int, renameat, (int from_dir, const char* from, int to_dir, const char* to),
        (from_dir, from, to_dir, to))
WRAPPER(K_RENAMEAT2, int, renameat2,
        (int from_dir, const char* from, int to_dir, const char* to, unsigned flags),
        (from_dir, from, to_dir, to, flags))
WRAPPER(K_LINK, int, link, (const char* from, const char* to), (from, to))
WRAPPER(K_LINKAT, int, linkat,
        (int from_dir, const char* from, int to_dir, const char* to, int flags),
        (from_dir, from, to_dir, to, flags))
WRAPPER(K_FLOCK, int, flock, (int fd, int operation), (fd, operation))
WRAPPER(K_FTRUNCATE, int, ftruncate, (int fd, off_t length), (fd, length))
WRAPPER(K_FTRUNCATE, int, ftruncate64, (int fd, off64_t length), (fd, length))
WRAPPER(K_FALLOCATE, int, fallocate, (int fd, int mode, off_t offset, off_t length),
        (fd, mode, offset, length))
WRAPPER(K_FALLOCATE, int, fallocate64, (int fd, int mode, off64_t offset, off64_t length),
        (fd, mode, offset, length))
WRAPPER(K_UNLINK, int, unlink, (const char* path), (path))
WRAPPER(K_UNLINKAT, int, unlinkat, (int dir, const char* path, int flags), (dir, path, flags))
WRAPPER(K_FCHMOD, int, fchmod, (int fd, mode_t mode), (fd, mode))
WRAPPER(K_FCHOWN, int, fchown, (int fd, uid_t owner, gid_t group), (fd, owner, group))

// The fortified entry points of read and pread.
ssize_t __read_chk(int fd, void* buffer, size_t size, size_t room);
WRAPPER(K_READ, ssize_t, __read_chk, (int fd, void* buffer, size_t size, size_t room),
        (fd, buffer, size, room))
ssize_t __pread_chk(int fd, void* buffer, size_t size, off_t offset, size_t room);
WRAPPER(K_PREAD, ssize_t, __pread_chk,
        (int fd, void* buffer, size_t size, off_t offset, size_t room),
        (fd, buffer, size, offset, room))
ssize_t __pread64_chk(int fd, void* buffer, size_t size, off64_t offset, size_t room);
WRAPPER(K_PREAD, ssize_t, __pread64_chk,
        (int fd, void* buffer, size_t size, off64_t offset, size_t room),
        (fd, buffer, size, offset, room))

int close(int fd) {
    static int (*real)(int);
    NEXT(real, "close");
    if (!fails(K_CLOSE)) return real(fd);
    const int error = errno;
    real(fd);
    errno = error;
    return -1;
}
