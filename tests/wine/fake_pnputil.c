/* Stands in for pnputil.exe, which a fresh Wine prefix lacks: appends its
   command line to C:\pnputil.log and, for "-d <name>", deletes
   %windir%\inf\<name> as pnputil deletes a published package. */
#include <windows.h>
#include <stdio.h>
#include <string.h>

int main(int argc, char **argv)
{
    char path[MAX_PATH];
    FILE *log = fopen("C:\\pnputil.log", "ab");  /* binary: lines end with LF alone */
    int i;
    for (i = 1; log != NULL && i < argc; i++)
        fprintf(log, i == 1 ? "%s" : " %s", argv[i]);
    if (log != NULL) {
        fputc('\n', log);
        fclose(log);
    }
    for (i = 1; i + 1 < argc; i++)
        if (strcmp(argv[i], "-d") == 0 && GetWindowsDirectoryA(path, MAX_PATH) != 0) {
            strcat(path, "\\inf\\");
            strcat(path, argv[i + 1]);
            DeleteFileA(path);
        }
    return 0;
}
