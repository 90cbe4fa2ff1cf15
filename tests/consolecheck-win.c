/* Whether a Windows program gets a console when a program without one
   starts it, as Task Scheduler or a logon start does: "consolecheck EXE
   [ARGUMENT...]". This program is itself a GUI program (no console) and
   starts EXE with CreateProcess and no console flags: Windows then gives a
   console program a new console, a GUI program none. EXE is started under
   this program's debugger and held at its entry point, where the system has
   set it up (its console included) and none of its own code has run, so
   that what it does next cannot end it before it is looked at. There
   AttachConsole(its process id) tells: it fails with ERROR_INVALID_HANDLE
   (or ERROR_GEN_FAILURE) for a process without a console. EXE is then
   ended. Exit status: 0 no console, 1 a console, 2 the check could not be
   made (the reason on standard error). */
#include <windows.h>
#include <stdio.h>
#include <wchar.h>

/* The command line after this program's own name, as given. */
static wchar_t *childCommandLine(void)
{
    wchar_t *line = GetCommandLineW();
    int quoted = 0;
    for (; *line && (quoted || (*line != L' ' && *line != L'\t')); ++line) {
        if (*line == L'"')
            quoted = !quoted;
    }
    while (*line == L' ' || *line == L'\t')
        ++line;
    return line;
}

static int fail(const char *what)
{
    fprintf(stderr, "consolecheck: %s: error %lu\n", what, (unsigned long)GetLastError());
    return 2;
}

/* Runs the debugged EXE up to its entry point; 1 there, 0 when it ended first. */
static int runToEntry(const PROCESS_INFORMATION *child)
{
    DEBUG_EVENT event;
    ULONG_PTR entry = 0;
    while (WaitForDebugEvent(&event, INFINITE)) {
        DWORD status = DBG_CONTINUE;
        if (event.dwDebugEventCode == CREATE_PROCESS_DEBUG_EVENT) {
            static const unsigned char breakpoint = 0xcc;
            entry = (ULONG_PTR)event.u.CreateProcessInfo.lpStartAddress;
            if (!WriteProcessMemory(child->hProcess, (void *)entry, &breakpoint, 1, NULL))
                return -1;
            FlushInstructionCache(child->hProcess, (void *)entry, 1);
            CloseHandle(event.u.CreateProcessInfo.hFile);
        } else if (event.dwDebugEventCode == LOAD_DLL_DEBUG_EVENT) {
            CloseHandle(event.u.LoadDll.hFile);
        } else if (event.dwDebugEventCode == EXCEPTION_DEBUG_EVENT) {
            const EXCEPTION_RECORD *record = &event.u.Exception.ExceptionRecord;
            if (record->ExceptionCode == EXCEPTION_BREAKPOINT && (ULONG_PTR)record->ExceptionAddress - entry <= 1)
                return 1; /* held there: this event is never continued */
            if (record->ExceptionCode != EXCEPTION_BREAKPOINT)
                status = DBG_EXCEPTION_NOT_HANDLED;
        } else if (event.dwDebugEventCode == EXIT_PROCESS_DEBUG_EVENT) {
            return 0;
        }
        ContinueDebugEvent(event.dwProcessId, event.dwThreadId, status);
    }
    return -1;
}

int main(void)
{
    STARTUPINFOW startup;
    PROCESS_INFORMATION child;
    int reached, console;
    DWORD error;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    FreeConsole(); /* however this program was started, it has no console now */
    if (!CreateProcessW(NULL, childCommandLine(), NULL, NULL, FALSE, DEBUG_ONLY_THIS_PROCESS, NULL, NULL,
                        &startup, &child))
        return fail("cannot start the program");
    DebugSetProcessKillOnExit(TRUE);
    reached = runToEntry(&child);
    if (reached != 1)
        return fail(reached == 0 ? "the program ended before its entry point" : "cannot debug the program");
    console = AttachConsole(child.dwProcessId);
    error = GetLastError();
    TerminateProcess(child.hProcess, 0);
    if (console) {
        FreeConsole();
        printf("console\n");
        return 1;
    }
    if (error != ERROR_INVALID_HANDLE && error != ERROR_GEN_FAILURE) {
        SetLastError(error);
        return fail("AttachConsole failed otherwise");
    }
    printf("no console\n");
    return 0;
}
