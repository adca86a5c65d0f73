"""Mount helpers the benchmark scripts share: whether a path is a mount
point, waiting for a mount to answer, unmounting it whatever state its
program is in, and dropping a file's cached pages."""
import os
import subprocess
import time


def is_mounted(mnt):
    with open("/proc/self/mountinfo") as f:
        return any(line.split()[4] == mnt for line in f)


def wait_mounted(mnt, proc=None, timeout=30, probe=os.stat):
    """Waits until mnt is mounted and probe(mnt) succeeds; raises when the
    mount program ends first or the time runs out."""
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if is_mounted(mnt):
            try:
                probe(mnt)
                return
            except OSError:
                pass
        if proc is not None and proc.poll() is not None:
            raise RuntimeError("mount program for %s ended with %s" % (mnt, proc.returncode))
        time.sleep(0.05)
    raise RuntimeError("%s did not come up" % mnt)


def unmount(mnt):
    for cmd in (["umount", mnt], ["umount", "-l", mnt], ["fusermount", "-u", "-z", mnt]):
        if not is_mounted(mnt):
            return
        subprocess.run(cmd, capture_output=True, timeout=60)


def release(mnt, proc):
    """Unmounts mnt and waits for the program that served it, killing it
    when it does not end on its own."""
    unmount(mnt)
    if proc is not None and proc.poll() is None:
        try:
            proc.wait(timeout=30)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait(timeout=30)


def drop_page_cache(path):
    """Drops the kernel's cached pages of one file (a mount's own cache when
    path lies below the mount point)."""
    fd = os.open(path, os.O_RDONLY)
    try:
        os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
    finally:
        os.close(fd)
