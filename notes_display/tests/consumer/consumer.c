/* Links against the installed library: the file named in argv[1] exists, a
   name beside it does not. Exit status 0 when both answers are right. */
#include <quorle.h>

int main(int argc, char** argv) {
    if (argc != 2) {
        return 2;
    }
    return PNFileAvailable(argv[1]) == 1 && PNFileAvailable("/nonexistent/notes.txt") == 0 ? 0 : 1;
}
