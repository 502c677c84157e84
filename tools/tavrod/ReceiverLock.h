// A second claim on the receiver's tty itself, beside the one-daemon
// semaphore: an exclusive flock(2) on the open tty.  Exclusive use
// (TIOCEXCL) does not stop root, and a daemon in another IPC namespace (a
// container) does not see the semaphore; the lock on the device node stops
// both.
#ifndef TAVROD_RECEIVER_LOCK_H
#define TAVROD_RECEIVER_LOCK_H

namespace tavrod {

// Takes the lock on the open descriptor.  Returns 0, or the errno of the
// failure (EWOULDBLOCK when another process holds it) with *holderPid that
// process's id when /proc/locks tells it (else 0).
int LockReceiver(int fd, int* holderPid);

}  // namespace tavrod

#endif
