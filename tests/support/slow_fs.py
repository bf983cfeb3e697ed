#!/usr/bin/python3
# A file system whose root takes SLOW_SECONDS (default 60) to open, as a dead network mount does;
# with SLOW_LOOKUPS=1 so does looking up any name inside it (a stat, an open, a rename). Everything
# else about it answers at once. Run: slow_fs.py <mount point> -f
import errno
import os
import stat
import time

import fuse

fuse.fuse_python_api = (0, 2)


class SlowFolder(fuse.Fuse):
    def getattr(self, path):
        if path != '/':
            if os.environ.get('SLOW_LOOKUPS') == '1':
                time.sleep(float(os.environ.get('SLOW_SECONDS', '60')))
            return -errno.ENOENT
        attributes = fuse.Stat()
        attributes.st_mode = stat.S_IFDIR | 0o755
        attributes.st_nlink = 2
        return attributes

    def opendir(self, path):
        time.sleep(float(os.environ.get('SLOW_SECONDS', '60')))
        return 0

    def readdir(self, path, offset):
        for name in ('.', '..'):
            yield fuse.Direntry(name)


if __name__ == '__main__':
    server = SlowFolder()
    server.parse(values=None, errex=1)
    server.multithreaded = True
    server.main()
