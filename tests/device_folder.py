"""A temporary folder for the output tests: stand-ins for /dev/null and /dev/full made with mknod
(so the machine's own /dev is never touched), and an existing file that must survive."""
import os
import stat
import tempfile


def device_folder(test, keep_name, keep_text):
    """Makes the folder for `test` (removed when it ends); returns a function that joins a name to it."""
    folder = tempfile.TemporaryDirectory()
    test.addCleanup(folder.cleanup)
    path = lambda name: os.path.join(folder.name, name)
    os.mknod(path("null"), 0o666 | stat.S_IFCHR, os.makedev(1, 3))
    os.mknod(path("full"), 0o666 | stat.S_IFCHR, os.makedev(1, 7))
    with open(path(keep_name), "w") as f:
        f.write(keep_text)
    return folder.name, path
