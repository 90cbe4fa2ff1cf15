/* Moves a process's wall clock by QUORVANE_CLOCK_SHIFT seconds (loaded with
 * LD_PRELOAD), as on a workstation whose clock differs from the file
 * server's; the monotonic clock is left alone. Qt reads the wall clock
 * through both calls. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdlib.h>
#include <sys/time.h>
#include <time.h>

static long shift(void)
{
    const char *seconds = getenv("QUORVANE_CLOCK_SHIFT");
    return seconds ? atol(seconds) : 0;
}

int clock_gettime(clockid_t clock, struct timespec *now)
{
    static int (*real)(clockid_t, struct timespec *);
    if (!real)
        real = (int (*)(clockid_t, struct timespec *))dlsym(RTLD_NEXT, "clock_gettime");
    const int result = real(clock, now);
    if (result == 0 && (clock == CLOCK_REALTIME || clock == CLOCK_REALTIME_COARSE))
        now->tv_sec += shift();
    return result;
}

int gettimeofday(struct timeval *now, void *zone)
{
    static int (*real)(struct timeval *, void *);
    if (!real)
        real = (int (*)(struct timeval *, void *))dlsym(RTLD_NEXT, "gettimeofday");
    const int result = real(now, zone);
    if (result == 0)
        now->tv_sec += shift();
    return result;
}
