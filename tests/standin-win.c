/* The stand-in application for the Windows starter: records, in the file
   named by QUORVANE_TEST_RECORD, how it was started (the path it was given,
   its working directory, its process id and its arguments, in UTF-8). With
   QUORVANE_TEST_LINGER set it then stays running that many seconds and
   leaves a ".done" file. Bytes appended to the .exe set its size.
   "standin --hold SECONDS READY FILE..." instead holds each FILE open
   without sharing it, as a virus scanner or another program does, for
   SECONDS, and makes the file READY once it holds them. */
#include <windows.h>
#include <shellapi.h>
#include <stdio.h>
#include <stdlib.h>

static void utf8(const wchar_t *text, char *out, int size)
{
    WideCharToMultiByte(CP_UTF8, 0, text, -1, out, size, NULL, NULL);
}

int main(void)
{
    const char *record = getenv("QUORVANE_TEST_RECORD");
    char path[4096], text[4096];
    wchar_t cwd[4096], self[4096];
    FILE *file;
    long size = 0;
    int i, argc;
    wchar_t **argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argc >= 5 && wcscmp(argv[1], L"--hold") == 0) {
        for (i = 4; i < argc; ++i) {
            if (CreateFileW(argv[i], GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL) == INVALID_HANDLE_VALUE)
                return 1;
        }
        CloseHandle(CreateFileW(argv[3], GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL));
        Sleep((DWORD)(_wtof(argv[2]) * 1000));
        return 0; /* the files are let go as the process ends */
    }
    if (!record)
        return 0;
    snprintf(path, sizeof path, "%s.tmp", record);
    file = fopen(path, "wb");
    if (!file)
        return 1;
    GetCurrentDirectoryW(4096, cwd);
    GetModuleFileNameW(NULL, self, 4096);
    {
        FILE *program = _wfopen(self, L"rb");
        if (program) {
            fseek(program, 0, SEEK_END);
            size = ftell(program);
            fclose(program);
        }
    }
    utf8(argv[0], text, sizeof text);
    fprintf(file, "program:%s\n", text);
    utf8(cwd, text, sizeof text);
    fprintf(file, "cwd:%s\npid:%lu\nsize:%ld\n", text, (unsigned long)GetCurrentProcessId(), size);
    for (i = 1; i < argc; ++i) {
        utf8(argv[i], text, sizeof text);
        fprintf(file, "arg:%s\n", text);
    }
    fclose(file);
    MoveFileExA(path, record, MOVEFILE_REPLACE_EXISTING);
    if (getenv("QUORVANE_TEST_LINGER")) {
        Sleep(atoi(getenv("QUORVANE_TEST_LINGER")) * 1000);
        snprintf(path, sizeof path, "%s.done", record);
        fclose(fopen(path, "wb"));
    }
    return 0;
}
