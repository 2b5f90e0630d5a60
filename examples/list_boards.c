/* Lists the boards the library opened: index, identifier and name. */
#include <halvex/halvex.h>

#include <stdio.h>

int main(void) {
    const INT64 highest = BRD_GetHighestBoardIndex();
    DWORD version = HX_GetVersion();
    printf("Halvex %u.%u.%u, %lld board(s)\n", (unsigned)(version >> 16), (unsigned)(version >> 8 & 0xFF),
           (unsigned)(version & 0xFF), (long long)(highest + 1));
    for (INT64 i = 0; i <= highest; ++i) {
        const UINT64 board = (UINT64)i;
        DWORD id = 0;
        char name[64] = "";
        DWORD length = 0;
        DWORD r = BRD_GetDeviceID(board, &id);
        if (r != 0) {
            fprintf(stderr, "BRD_GetDeviceID: %s (%s)\n", HX_ErrorName(r), HX_ErrorText(r));
            return 1;
        }
        /* A missing board-finder list only means there is no name. */
        if (BRD_GetNameA(board, sizeof name - 1, name, &length) != 0) name[0] = '\0';
        printf("board %lld: %04X %s\n", (long long)i, (unsigned)id, name[0] ? name : "(no name)");
    }
    return 0;
}
