/* Quorle: shows a product-notes file.
 *
 * A host loads the library (libQuorle.so on Linux, Quorle.dll on Windows)
 * and calls the two functions below from any thread, in any order. The
 * library keeps no state between calls and never waits for the viewer.
 *
 *   PNFileAvailable  1 when file_name names an existing file that can be
 *                    opened for an attribute query, 0 otherwise (missing,
 *                    a directory, an empty or null name). Nothing is read.
 *
 *   PNDisplayFile    1 when a viewer for the notes file was started, 0
 *                    otherwise. The viewer is the command line stored under
 *                    [ZOR_PNotes_File] PNotesCommandLine in the notes file
 *                    itself, or else the default viewer with the file name
 *                    as its one argument: on Windows "notepad.exe"; on
 *                    Linux "notepad.exe" where one is found on PATH, else
 *                    the desktop's opener, xdg-open, which shows the file
 *                    with the desktop's program for text. The call returns
 *                    once the viewer is running; it never waits for it to
 *                    end.
 *
 * All names are 8-bit character strings, passed on exactly as received.
 */
#ifndef QUORLE_H
#define QUORLE_H

#include <stdint.h>

#if defined(_WIN32)
#define QUORLE_CALL __stdcall
#define QUORLE_API
#elif defined(__GNUC__)
#define QUORLE_CALL
#define QUORLE_API __attribute__((visibility("default")))
#else
#define QUORLE_CALL
#define QUORLE_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

QUORLE_API int32_t QUORLE_CALL PNDisplayFile(const char* file_name);
QUORLE_API int32_t QUORLE_CALL PNFileAvailable(const char* file_name);

/* Function types for hosts that look the functions up at run time. */
typedef int32_t(QUORLE_CALL* PNDisplayFileFn)(const char* file_name);
typedef int32_t(QUORLE_CALL* PNFileAvailableFn)(const char* file_name);

#ifdef __cplusplus
}
#endif

#endif /* QUORLE_H */
