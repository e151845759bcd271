// Windows program for the INI differential test: reads integer keys with the
// system's own reader and prints one result per line.
//
// Input: a query file, one query a line, fields separated by tabs:
//   <INI file path>\t<section>\t<key>\t<default>
// Output: the unsigned result of each query, in decimal, one a line.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

void widen(const char *text, wchar_t *wide, int room) {
    if (MultiByteToWideChar(CP_UTF8, 0, text, -1, wide, room) == 0) {
        wide[0] = L'\0';
    }
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: ini_probe_win <query file>\n");
        return 2;
    }
    FILE *queries = fopen(argv[1], "rb");
    if (!queries) {
        fprintf(stderr, "cannot open %s\n", argv[1]);
        return 2;
    }
    char line[4096];
    while (fgets(line, sizeof line, queries)) {
        line[strcspn(line, "\r\n")] = '\0';
        char *fields[4] = {};
        char *cursor = line;
        for (int i = 0; i < 4; ++i) {
            fields[i] = cursor;
            char *tab = cursor ? strchr(cursor, '\t') : nullptr;
            if (tab) {
                *tab = '\0';
                cursor = tab + 1;
            } else {
                cursor = nullptr;
            }
        }
        if (!fields[3]) {
            printf("bad query\n");
            continue;
        }
        static wchar_t file[2048], section[512], key[512];
        widen(fields[0], file, 2048);
        widen(fields[1], section, 512);
        widen(fields[2], key, 512);
        int def = static_cast<int>(strtol(fields[3], nullptr, 10));
        UINT value = GetPrivateProfileIntW(section, key, def, file);
        printf("%u\n", value);
    }
    fclose(queries);
    return 0;
}
