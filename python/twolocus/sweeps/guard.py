"""The parent-death guard: a process asks Linux for a signal when its parent ends."""

import ctypes

PR_SET_PDEATHSIG = 1


def die_with_parent(number):
    """Asks Linux to send signal number to this process when its parent ends
    (a SIGKILL of the parent included). The request outlives exec. Callers
    then check os.getppid() against the parent they expect, since the parent
    may have ended before the request."""
    try:
        ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, number, 0, 0, 0)
    except (OSError, AttributeError):
        pass
