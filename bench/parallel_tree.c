/* A bare parallel folder copy, to show what the machine allows: the folders are made first on one thread,
   then N threads take the files in turn, each with its own buffer, copying with ReadFile/WriteFile in 1 MiB
   chunks. No checks, no progress, no log: the least a parallel copy can do.
   build: x86_64-w64-mingw32-gcc -O2 -o parallel_tree.exe parallel_tree.c
   usage: parallel_tree.exe SRCDIR DSTDIR THREADS */
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

typedef struct {
    char from[MAX_PATH], to[MAX_PATH];
} Job;
static Job *jobs;
static LONG count, room, failed;
static volatile LONG next;

static int plan(const char *from, const char *to) {
    char pattern[MAX_PATH], f[MAX_PATH], t[MAX_PATH];
    WIN32_FIND_DATAA fd;
    if (!CreateDirectoryA(to, NULL) && GetLastError() != ERROR_ALREADY_EXISTS) return 1;
    snprintf(pattern, sizeof pattern, "%s\\*", from);
    HANDLE h = FindFirstFileA(pattern, &fd);
    if (h == INVALID_HANDLE_VALUE) return 1;
    int bad = 0;
    do {
        if (!strcmp(fd.cFileName, ".") || !strcmp(fd.cFileName, "..")) continue;
        snprintf(f, sizeof f, "%s\\%s", from, fd.cFileName);
        snprintf(t, sizeof t, "%s\\%s", to, fd.cFileName);
        if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            bad |= plan(f, t);
        } else {
            if (count == room) {
                room = room ? room * 2 : 1024;
                jobs = realloc(jobs, room * sizeof(Job));
                if (!jobs) return 1;
            }
            strcpy(jobs[count].from, f);
            strcpy(jobs[count].to, t);
            count++;
        }
    } while (!bad && FindNextFileA(h, &fd));
    FindClose(h);
    return bad;
}

static DWORD WINAPI worker(LPVOID unused) {
    (void)unused;
    DWORD chunk = 1 << 20;
    unsigned char *buf = malloc(chunk);
    for (LONG i; buf && (i = InterlockedIncrement(&next) - 1) < count;) {
        HANDLE in = CreateFileA(jobs[i].from, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
        HANDLE out = CreateFileA(jobs[i].to, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
        DWORD got = 0, put = 0;
        int ok = in != INVALID_HANDLE_VALUE && out != INVALID_HANDLE_VALUE;
        while (ok && (ok = ReadFile(in, buf, chunk, &got, NULL)) && got)
            ok = WriteFile(out, buf, got, &put, NULL) && put == got;
        if (!ok) InterlockedExchange(&failed, 1);
        if (out != INVALID_HANDLE_VALUE) CloseHandle(out);
        if (in != INVALID_HANDLE_VALUE) CloseHandle(in);
    }
    free(buf);
    return 0;
}

int main(int argc, char **argv) {
    if (argc < 4) return 2;
    int n = atoi(argv[3]);
    if (n < 1 || n > 16) return 2;
    if (plan(argv[1], argv[2])) return 1;
    HANDLE threads[16];
    for (int i = 0; i < n; i++) threads[i] = CreateThread(NULL, 0, worker, NULL, 0, NULL);
    WaitForMultipleObjects(n, threads, TRUE, INFINITE);
    return failed ? 1 : 0;
}
