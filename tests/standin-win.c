/* The stand-in application for the Windows starter: records, in the file
   named by QUORVANE_TEST_RECORD, how it was started (the path it was given,
   its working directory, its process id and its arguments). With
   QUORVANE_TEST_LINGER set it then stays running that many seconds and
   leaves a ".done" file. Bytes appended to the .exe set its size. */
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>

int main(int argc, char **argv)
{
    const char *record = getenv("QUORVANE_TEST_RECORD");
    char path[4096], cwd[4096], self[4096];
    FILE *file;
    long size = 0;
    int i;
    if (!record)
        return 0;
    snprintf(path, sizeof path, "%s.tmp", record);
    file = fopen(path, "wb");
    if (!file)
        return 1;
    GetCurrentDirectoryA(sizeof cwd, cwd);
    GetModuleFileNameA(NULL, self, sizeof self);
    {
        FILE *program = fopen(self, "rb");
        if (program) {
            fseek(program, 0, SEEK_END);
            size = ftell(program);
            fclose(program);
        }
    }
    fprintf(file, "program:%s\ncwd:%s\npid:%lu\nsize:%ld\n", argv[0], cwd,
            (unsigned long)GetCurrentProcessId(), size);
    for (i = 1; i < argc; ++i)
        fprintf(file, "arg:%s\n", argv[i]);
    fclose(file);
    MoveFileExA(path, record, MOVEFILE_REPLACE_EXISTING);
    if (getenv("QUORVANE_TEST_LINGER")) {
        Sleep(atoi(getenv("QUORVANE_TEST_LINGER")) * 1000);
        snprintf(path, sizeof path, "%s.done", record);
        fclose(fopen(path, "wb"));
    }
    return 0;
}
