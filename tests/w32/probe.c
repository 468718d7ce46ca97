/* A Windows helper for the tests under Wine.
 *
 *   probe version FILE            the version strings and manifest of FILE
 *   probe run DIR PROGRAM ARG...  runs PROGRAM in the directory DIR, which may
 *                                 be a share (\\srv\share); exits with its status
 */
#include <windows.h>
#include <stdio.h>
#include <string.h>

static int version(const char *file)
{
    static const char *const keys[] = {"FileDescription", "FileVersion", "ProductName",
                                       "ProductVersion", "InternalName", "OriginalFilename"};
    static char data[65536];
    DWORD size = GetFileVersionInfoSizeA(file, NULL);
    HMODULE m;
    HRSRC r;

    if (size == 0 || size > sizeof data || !GetFileVersionInfoA(file, 0, size, data))
        return 1;
    for (size_t i = 0; i < sizeof keys / sizeof keys[0]; i++) {
        char path[100];
        char *value = NULL;
        UINT len = 0;
        snprintf(path, sizeof path, "\\StringFileInfo\\040904B0\\%s", keys[i]);
        if (VerQueryValueA(data, path, (void **)&value, &len))
            printf("%s=%s\n", keys[i], value);
    }
    m = LoadLibraryExA(file, NULL, LOAD_LIBRARY_AS_DATAFILE);
    r = m ? FindResourceA(m, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24)) : NULL;
    if (r != NULL)
        printf("manifest=%.*s\n", (int)SizeofResource(m, r), (const char *)LockResource(LoadResource(m, r)));
    return 0;
}

static int run(char *dir, char **argv, int argc)
{
    static char cmd[32768];
    STARTUPINFOA si = {sizeof si};
    PROCESS_INFORMATION pi;
    DWORD status = 1;

    if (!SetCurrentDirectoryA(dir))
        return 125;
    for (int i = 0; i < argc; i++) {
        strcat(cmd, i ? " \"" : "\"");
        strcat(cmd, argv[i]);
        strcat(cmd, "\"");
    }
    if (!CreateProcessA(NULL, cmd, NULL, NULL, TRUE, 0, NULL, NULL, &si, &pi))
        return 126;
    WaitForSingleObject(pi.hProcess, INFINITE);
    GetExitCodeProcess(pi.hProcess, &status);
    return (int)status;
}

int main(int argc, char **argv)
{
    if (argc == 3 && strcmp(argv[1], "version") == 0)
        return version(argv[2]);
    if (argc >= 4 && strcmp(argv[1], "run") == 0)
        return run(argv[2], argv + 3, argc - 3);
    fprintf(stderr, "usage: probe version FILE | probe run DIR PROGRAM ARG...\n");
    return 2;
}
