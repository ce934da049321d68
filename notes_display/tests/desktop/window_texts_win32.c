/* window_texts: prints the texts of a top-level window found by its exact
 * title, and of the controls inside it, one per line as "class: text"; the
 * desktop tests read a message box's text with it.
 *
 *   window_texts TITLE
 *
 * Exit status: 0 when the window was found, 1 when it was not. */
#include <windows.h>

#include <stdio.h>

static BOOL CALLBACK print_control(HWND control, LPARAM unused) {
    char class_name[64];
    char text[512];
    (void)unused;
    GetClassNameA(control, class_name, sizeof class_name);
    GetWindowTextA(control, text, sizeof text);
    printf("%s: %s\n", class_name, text);
    return TRUE;
}

int main(int argc, char** argv) {
    HWND window;
    if (argc != 2) {
        fprintf(stderr, "usage: window_texts TITLE\n");
        return 2;
    }
    window = FindWindowA(NULL, argv[1]);
    if (window == NULL) {
        fprintf(stderr, "no window titled '%s'\n", argv[1]);
        return 1;
    }
    printf("window: %s\n", argv[1]);
    EnumChildWindows(window, print_control, 0);
    return 0;
}
