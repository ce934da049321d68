/* The floor for a Vestrel run: a C program that does the same file work as
 * one successful run, and nothing else.
 *
 *   bare_run REQUEST
 *
 * In the working folder: reads REQUEST whole twice and TROV.INI once, appends
 * five time-stamped entries to run.log (each flushed), and replaces REQUEST
 * twice through a temporary file that is written, fsync'ed and renamed over
 * it. Exit status 0, or 1 when a step fails. */
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

static char buffer[1 << 16];

static long read_whole(const char* path) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    long total = 0;
    ssize_t got;
    while ((got = read(fd, buffer + total, sizeof buffer - (size_t)total)) > 0) total += got;
    close(fd);
    return total;
}

static int replace(const char* path, const char* text) {
    char temp[4096];
    snprintf(temp, sizeof temp, "%s.tmp", path);
    int fd = open(temp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return -1;
    size_t length = strlen(text);
    int ok = write(fd, text, length) == (ssize_t)length && fsync(fd) == 0;
    close(fd);
    return ok && rename(temp, path) == 0 ? 0 : -1;
}

static void log_entry(FILE* log, const char* message) {
    char stamp[32] = "";
    time_t now = time(NULL);
    struct tm* local = localtime(&now);
    if (local) strftime(stamp, sizeof stamp, "%m/%d/%y %H:%M:%S", local);
    fprintf(log, "\n%s: %s", stamp, message);
    fflush(log);
}

int main(int argc, char** argv) {
    if (argc != 2) return 1;
    const char* request = argv[1];
    if (read_whole(request) < 0) return 1;
    FILE* log = fopen("run.log", "a");
    if (!log) return 1;
    log_entry(log, "opened");
    if (read_whole(request) < 0 || read_whole("TROV.INI") < 0) return 1;
    log_entry(log, "probe");
    log_entry(log, "summary");
    log_entry(log, "write");
    long length = read_whole(request);
    if (length < 0) return 1;
    buffer[length] = '\0';
    char text[sizeof buffer + 128];
    snprintf(text, sizeof text, "%sReturnValue=Success\n", buffer);
    if (replace(request, text) != 0) return 1;
    snprintf(text, sizeof text, "%sReturnValue=Success\nFailureReason=summary\n", buffer);
    if (replace(request, text) != 0) return 1;
    log_entry(log, "summary");
    fclose(log);
    return 0;
}
