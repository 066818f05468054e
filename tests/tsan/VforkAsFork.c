// Linked into the test programs of a ThreadSanitizer build (README, "ThreadSanitizer"), nowhere
// else: its clone() stands in for the C library's.
//
// QProcess starts children with a vfork-style clone (CLONE_VM | CLONE_VFORK): the child runs in
// the parent's memory, on the parent's sanitizer state, until it execs. GCC 12's TSan does not
// know that clone, and what the child does there corrupts the state of the thread that started
// it: afterwards that thread's locks go unseen and every hand-off it makes is reported as a
// race. Here such a clone becomes a plain fork, which TSan follows. Thread clones pass through.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <sched.h>
#include <stdarg.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

int clone(int (*fn)(void *), void *stack, int flags, void *arg, ...)
{
    va_list more;
    va_start(more, arg);
    pid_t *parentTid = va_arg(more, pid_t *);
    void *tls = va_arg(more, void *);
    pid_t *childTid = va_arg(more, pid_t *);
    va_end(more);
    if ((flags & CLONE_VM) && (flags & CLONE_VFORK) && !(flags & CLONE_THREAD)) {
        const pid_t pid = fork();
        if (pid == 0)
            _exit(fn(arg));
        if (pid > 0 && (flags & CLONE_PIDFD) && parentTid)
            *(int *)parentTid = (int)syscall(SYS_pidfd_open, pid, 0);
        return pid;
    }
    static int (*next)(int (*)(void *), void *, int, void *, ...);
    if (!next)
        next = (int (*)(int (*)(void *), void *, int, void *, ...))dlsym(RTLD_NEXT, "clone");
    return next(fn, stack, flags, arg, parentTid, tls, childTid);
}
