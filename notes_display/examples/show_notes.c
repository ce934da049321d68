/* show_notes: a minimal host for the Quorle library.
 *
 *   show_notes <notes file>
 *
 * Loads the library at run time, checks the notes file and asks the library
 * to show it. Exit status: 0 when a viewer was started, 1 when the file is not
 * there or no viewer could be started, 2 when the library cannot be used.
 */
#include "quorle.h"

#include <stdio.h>
#include <string.h>

#ifdef _WIN32
#include <windows.h>
typedef HMODULE library_handle;
static library_handle open_library(void) {
    return LoadLibraryA(QUORLE_LIBRARY_NAME);
}
static void* find_function(library_handle library, const char* name) {
    FARPROC function = GetProcAddress(library, name);
    void* address;
    memcpy(&address, &function, sizeof address);
    return address;
}
static void close_library(library_handle library) {
    FreeLibrary(library);
}
static const char* load_error(void) {
    return "LoadLibrary failed";
}
#else
#include <dlfcn.h>
typedef void* library_handle;
static library_handle open_library(void) {
    return dlopen(QUORLE_LIBRARY_NAME, RTLD_NOW | RTLD_LOCAL);
}
static void* find_function(library_handle library, const char* name) {
    return dlsym(library, name);
}
static void close_library(library_handle library) {
    dlclose(library);
}
static const char* load_error(void) {
    return dlerror();
}
#endif

int main(int argc, char** argv) {
    library_handle library;
    void* address;
    PNFileAvailableFn file_available;
    PNDisplayFileFn display_file;
    int status;

    if (argc != 2) {
        fprintf(stderr, "usage: %s <notes file>\n", argc > 0 ? argv[0] : "show_notes");
        return 2;
    }
    library = open_library();
    if (library == NULL) {
        fprintf(stderr, "cannot load %s: %s\n", QUORLE_LIBRARY_NAME, load_error());
        return 2;
    }

    /* Object and function pointers are converted through memcpy, which ISO C
       allows. */
    address = find_function(library, "PNFileAvailable");
    memcpy(&file_available, &address, sizeof file_available);
    address = find_function(library, "PNDisplayFile");
    memcpy(&display_file, &address, sizeof display_file);
    if (file_available == NULL || display_file == NULL) {
        fprintf(stderr, "%s lacks PNFileAvailable or PNDisplayFile\n", QUORLE_LIBRARY_NAME);
        close_library(library);
        return 2;
    }

    if (file_available(argv[1]) == 0) {
        printf("Notes file not available: %s\n", argv[1]);
        status = 1;
    } else if (display_file(argv[1]) == 0) {
        printf("No viewer could be started for: %s\n", argv[1]);
        status = 1;
    } else {
        printf("Viewer started for: %s\n", argv[1]);
        status = 0;
    }
    close_library(library);
    return status;
}
