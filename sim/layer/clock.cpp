// The board's clock: the program's sleeps and poll/select time-outs last
// time_scale of what it asked for. The trace records the requested value.
// Only the waiting is shortened; the clocks themselves run at real speed.
#include "layer.h"
#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <sys/select.h>
#include <time.h>
#include <unistd.h>

using namespace boardsim;

namespace {

constexpr long long NS_PER_S = 1000000000LL;

long long to_ns(const struct timespec& ts)
{
    return static_cast<long long>(ts.tv_sec) * NS_PER_S + ts.tv_nsec;
}

struct timespec from_ns(long long ns)
{
    if (ns < 0)
        ns = 0;
    struct timespec ts;
    ts.tv_sec = static_cast<time_t>(ns / NS_PER_S);
    ts.tv_nsec = static_cast<long>(ns % NS_PER_S);
    return ts;
}

long long scaled(long long ns)
{
    return static_cast<long long>(static_cast<double>(ns) * conf.time_scale);
}

// Time left of an interrupted wait, told back in the program's own time.
long long unscaled(long long ns)
{
    if (conf.time_scale <= 0)
        return 0;
    return static_cast<long long>(static_cast<double>(ns) / conf.time_scale);
}

// Sleeps `ns` of the program's time; on an interruption stores what is
// left (program time) in *left_ns and fails with EINTR.
int scaled_sleep(long long ns, long long* left_ns)
{
    struct timespec want = from_ns(scaled(ns));
    struct timespec rem = {0, 0};
    int r = real.nanosleep(&want, &rem);
    if (r < 0 && left_ns)
        *left_ns = unscaled(to_ns(rem));
    return r;
}

void format_fds(char* out, size_t cap, const struct pollfd* fds, nfds_t n)
{
    size_t pos = 0;
    out[0] = '\0';
    if (n == 0)
        snprintf(out, cap, "none");
    for (nfds_t i = 0; i < n && pos + 12 < cap; ++i) {
        int k = snprintf(out + pos, cap - pos, i ? ",%d" : "%d", fds[i].fd);
        if (k > 0)
            pos += static_cast<size_t>(k);
    }
}

void trace_poll(const char* call, const struct pollfd* fds, nfds_t n, long long timeout_ms)
{
    char list[128];
    format_fds(list, sizeof list, fds, n);
    if (timeout_ms < 0)
        trace("clock %s fd=%s timeout=infinite", call, list);
    else
        trace("clock %s fd=%s timeout=%lldms", call, list, timeout_ms);
}

} // namespace

extern "C" {

unsigned int sleep(unsigned int seconds)
{
    layer_init();
    trace("clock sleep %lluus", static_cast<unsigned long long>(seconds) * 1000000ULL);
    long long left = 0;
    if (scaled_sleep(static_cast<long long>(seconds) * NS_PER_S, &left) < 0)
        return static_cast<unsigned int>((left + NS_PER_S - 1) / NS_PER_S);
    return 0;
}

int usleep(useconds_t usec)
{
    layer_init();
    trace("clock sleep %uus", static_cast<unsigned>(usec));
    return scaled_sleep(static_cast<long long>(usec) * 1000, nullptr);
}

int nanosleep(const struct timespec* req, struct timespec* rem)
{
    layer_init();
    if (!req || req->tv_nsec < 0 || req->tv_nsec >= NS_PER_S) {
        errno = req ? EINVAL : EFAULT;
        return -1;
    }
    trace("clock sleep %lldus", to_ns(*req) / 1000);
    long long left = 0;
    int r = scaled_sleep(to_ns(*req), &left);
    if (r < 0 && rem)
        *rem = from_ns(left);
    return r;
}

int clock_nanosleep(clockid_t clock, int flags, const struct timespec* req, struct timespec* rem)
{
    layer_init();
    if (!req)
        return EFAULT;
    long long wait_ns = to_ns(*req);
    if (flags & TIMER_ABSTIME) {
        struct timespec now;
        if (clock_gettime(clock, &now) != 0)
            return errno;
        wait_ns -= to_ns(now);
        if (wait_ns < 0)
            wait_ns = 0;
    }
    trace("clock sleep %lldus", wait_ns / 1000);
    struct timespec want = from_ns(scaled(wait_ns));
    struct timespec real_rem = {0, 0};
    int r = real.clock_nanosleep(clock, 0, &want, &real_rem);
    if (r == EINTR && rem && !(flags & TIMER_ABSTIME))
        *rem = from_ns(unscaled(to_ns(real_rem)));
    return r;
}

// A poll or select with a zero time-out is a readiness check, not a wait:
// the clock has nothing to shorten and the trace nothing to record (a
// program that checks its input once per block of a download would fill
// the trace with such lines).

int poll(struct pollfd* fds, nfds_t nfds, int timeout)
{
    layer_init();
    if (timeout == 0)
        return real.poll(fds, nfds, 0);
    trace_poll("poll", fds, nfds, timeout);
    if (timeout < 0)
        return real.poll(fds, nfds, -1);
    struct timespec want = from_ns(scaled(static_cast<long long>(timeout) * 1000000));
    return real.ppoll(fds, nfds, &want, nullptr);
}

int ppoll(struct pollfd* fds, nfds_t nfds, const struct timespec* tmo, const sigset_t* mask)
{
    layer_init();
    if (tmo && tmo->tv_sec == 0 && tmo->tv_nsec == 0)
        return real.ppoll(fds, nfds, tmo, mask);
    trace_poll("ppoll", fds, nfds, tmo ? to_ns(*tmo) / 1000000 : -1);
    if (!tmo)
        return real.ppoll(fds, nfds, nullptr, mask);
    struct timespec want = from_ns(scaled(to_ns(*tmo)));
    return real.ppoll(fds, nfds, &want, mask);
}

int select(int nfds, fd_set* readfds, fd_set* writefds, fd_set* exceptfds, struct timeval* tv)
{
    layer_init();
    if (!tv) {
        trace("clock select nfds=%d timeout=infinite", nfds);
        return real.select(nfds, readfds, writefds, exceptfds, nullptr);
    }
    long long want_us = static_cast<long long>(tv->tv_sec) * 1000000 + tv->tv_usec;
    if (want_us == 0)
        return real.select(nfds, readfds, writefds, exceptfds, tv);
    trace("clock select nfds=%d timeout=%lldus", nfds, want_us);
    long long real_us = static_cast<long long>(static_cast<double>(want_us) * conf.time_scale);
    struct timeval real_tv;
    real_tv.tv_sec = static_cast<time_t>(real_us / 1000000);
    real_tv.tv_usec = static_cast<suseconds_t>(real_us % 1000000);
    int r = real.select(nfds, readfds, writefds, exceptfds, &real_tv);
    // Linux leaves the time not waited in the caller's timeval.
    long long left_us = unscaled(static_cast<long long>(real_tv.tv_sec) * 1000000 + real_tv.tv_usec);
    if (left_us > want_us)
        left_us = want_us;
    tv->tv_sec = static_cast<time_t>(left_us / 1000000);
    tv->tv_usec = static_cast<suseconds_t>(left_us % 1000000);
    return r;
}

} // extern "C"
