"""The output tests' folder: stand-ins for /dev/null and /dev/full made with mknod (so the machine's
own /dev is never touched), and an existing file that must survive."""
import os
import stat


def device_folder(folder, keep_name, keep_text):
    path = lambda name: os.path.join(folder, name)
    os.mknod(path("null"), 0o666 | stat.S_IFCHR, os.makedev(1, 3))
    os.mknod(path("full"), 0o666 | stat.S_IFCHR, os.makedev(1, 7))
    with open(path(keep_name), "w") as f:
        f.write(keep_text)
    return path
