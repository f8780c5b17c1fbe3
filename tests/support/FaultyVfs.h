#pragma once
// An SQLite VFS that passes everything to the system's own, except where a
// test tells it to fail: opening a file, or the Nth write from now. It stands
// in for a read-only or full disk, which a test running as root cannot make
// with file permissions.

#include <sqlite3.h>

namespace pm::test {

struct VfsFaults {
    int openError = SQLITE_OK;  // every xOpen of a database file fails with this
    int writeError = SQLITE_OK; // the write that runs out fails with this ...
    int writesLeft = -1;        // ... after this many more succeed; -1 = never
    int writes = 0;             // writes seen (successful ones)
    int shmLockError = SQLITE_OK; // every lock taken on the log's shared index fails with this: no read starts
};

// Registers the VFS (once) and returns its name for StateStore::Options.
const char* faultyVfs();
// The switches; reset between tests.
VfsFaults& vfsFaults();

} // namespace pm::test
