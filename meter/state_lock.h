#pragma once

#include <QString>

namespace vexmora::meter {

// One meter per state directory: two would each add their increments to the
// same application rows. The meter holds an exclusive flock(2) on a file in
// the directory for its whole life; the kernel drops it however the process
// ends, so a crash leaves nothing behind that would stop the next start.
class StateLock
{
public:
    StateLock() = default;
    ~StateLock();
    StateLock(const StateLock &) = delete;
    StateLock &operator=(const StateLock &) = delete;

    // Takes the lock on `path` without waiting, creating the file (and its
    // directory) where missing, and records this process's pid in it. Empty
    // when the lock is held now; otherwise one line for the administrator:
    // who holds it and how to stop that meter, or why the file cannot be locked.
    QString acquire(const QString &path);

private:
    int fd_ = -1;
};

} // namespace vexmora::meter
