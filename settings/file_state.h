#pragma once

#include <sys/stat.h>
#include <sys/types.h>

namespace vexmora {

// What identifies one state of the file: a write, a replacement or a removal
// changes at least one of these.
struct FileState
{
    bool exists = false;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec modified = {};
    timespec changed = {};

    static FileState of(const char *path)
    {
        struct stat status
        {
        };
        if (::stat(path, &status) != 0) {
            return {};
        }
        return {true, status.st_dev, status.st_ino, status.st_size, status.st_mtim, status.st_ctim};
    }

    bool operator==(const FileState &other) const
    {
        return exists == other.exists && device == other.device && inode == other.inode &&
               size == other.size && modified.tv_sec == other.modified.tv_sec &&
               modified.tv_nsec == other.modified.tv_nsec &&
               changed.tv_sec == other.changed.tv_sec && changed.tv_nsec == other.changed.tv_nsec;
    }
    bool operator!=(const FileState &other) const { return !(*this == other); }
};

} // namespace vexmora
