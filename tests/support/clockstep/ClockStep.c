/* A system-time step for tests of a real process, without changing the
 * machine's clock: preloaded (LD_PRELOAD), this library adds an offset to
 * every reading of the wall clock (CLOCK_REALTIME and its coarse kind,
 * gettimeofday, time). The offset, in whole seconds with a sign, is read from
 * the file that QHV_CLOCK_STEP_FILE names, at most every 50 ms, so a test steps
 * the clock by writing that file. The monotonic clocks are left alone: that is
 * the difference a step makes. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdatomic.h>
#include <stdlib.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

typedef int (*ClockGettime)(clockid_t, struct timespec*);

static ClockGettime RealClockGettime(void)
{
    static _Atomic(ClockGettime) real;
    ClockGettime function = atomic_load(&real);
    if (function == NULL) {
        function = (ClockGettime)dlsym(RTLD_NEXT, "clock_gettime");
        atomic_store(&real, function);
    }
    return function;
}

static _Atomic long g_offset;
static _Atomic long long g_readAtMs = -1000;

static long Offset(void)
{
    struct timespec now;
    RealClockGettime()(CLOCK_MONOTONIC, &now);
    const long long nowMs = (long long)now.tv_sec * 1000 + now.tv_nsec / 1000000;
    if (nowMs - atomic_load(&g_readAtMs) >= 50) {
        atomic_store(&g_readAtMs, nowMs);
        const char* path = getenv("QHV_CLOCK_STEP_FILE");
        const int fd = path != NULL ? open(path, O_RDONLY | O_CLOEXEC) : -1;
        if (fd >= 0) {
            char text[32] = { 0 };
            if (read(fd, text, sizeof text - 1) > 0) {
                atomic_store(&g_offset, strtol(text, NULL, 10));
            }
            close(fd);
        }
    }
    return atomic_load(&g_offset);
}

int clock_gettime(clockid_t clock, struct timespec* time)
{
    const int result = RealClockGettime()(clock, time);
    if (result == 0 && time != NULL && (clock == CLOCK_REALTIME || clock == CLOCK_REALTIME_COARSE)) {
        time->tv_sec += Offset();
    }
    return result;
}

int gettimeofday(struct timeval* restrict time, void* restrict zone)
{
    (void)zone;
    struct timespec now;
    if (clock_gettime(CLOCK_REALTIME, &now) != 0) {
        return -1;
    }
    if (time != NULL) {
        time->tv_sec = now.tv_sec;
        time->tv_usec = now.tv_nsec / 1000;
    }
    return 0;
}

time_t time(time_t* result)
{
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    if (result != NULL) {
        *result = now.tv_sec;
    }
    return now.tv_sec;
}
