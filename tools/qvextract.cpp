// qvextract ARCHIVE DEST: the installer's extraction on its own, for the
// benchmark. Exit code 0 when Extract succeeded.
#include <windows.h>

#include "archive/Archive.h"

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) return 2;
    Quorvel::QVArchive archive;
    return archive.Extract(argv[2], argv[1]) ? 0 : 1;
}
