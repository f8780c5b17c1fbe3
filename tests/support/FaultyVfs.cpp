#include "support/FaultyVfs.h"

namespace pm::test {

namespace {

struct File {
    sqlite3_file base;
    sqlite3_file* real; // follows this struct in the same allocation
};

sqlite3_vfs* realVfs = nullptr;
sqlite3_vfs faulty{};

// Calls that go to the real file or VFS unchanged.
template <typename T> struct ToFile;
template <typename R, typename... A> struct ToFile<R (*)(sqlite3_file*, A...)> {
    template <R (*sqlite3_io_methods::*M)(sqlite3_file*, A...)> static R call(sqlite3_file* f, A... a) {
        sqlite3_file* real = reinterpret_cast<File*>(f)->real;
        return (real->pMethods->*M)(real, a...);
    }
};
template <typename T> struct ToVfs;
template <typename R, typename... A> struct ToVfs<R (*)(sqlite3_vfs*, A...)> {
    template <R (*sqlite3_vfs::*M)(sqlite3_vfs*, A...)> static R call(sqlite3_vfs*, A... a) {
        return (realVfs->*M)(realVfs, a...);
    }
};
#define PM_TO_FILE(m) &ToFile<decltype(sqlite3_io_methods::m)>::call<&sqlite3_io_methods::m>
#define PM_TO_VFS(m) &ToVfs<decltype(sqlite3_vfs::m)>::call<&sqlite3_vfs::m>

int xWrite(sqlite3_file* f, const void* buf, int n, sqlite3_int64 at) {
    VfsFaults& faults = vfsFaults();
    if (faults.writesLeft == 0) {
        return faults.writeError;
    }
    if (faults.writesLeft > 0) {
        --faults.writesLeft;
    }
    ++faults.writes;
    return ToFile<decltype(sqlite3_io_methods::xWrite)>::call<&sqlite3_io_methods::xWrite>(f, buf, n, at);
}

int xShmLock(sqlite3_file* f, int offset, int n, int flags) {
    if ((flags & SQLITE_SHM_LOCK) != 0 && vfsFaults().shmLockError != SQLITE_OK) {
        return vfsFaults().shmLockError;
    }
    return ToFile<decltype(sqlite3_io_methods::xShmLock)>::call<&sqlite3_io_methods::xShmLock>(f, offset, n, flags);
}

const sqlite3_io_methods kMethods = {
    3,
    PM_TO_FILE(xClose),
    PM_TO_FILE(xRead),
    xWrite,
    PM_TO_FILE(xTruncate),
    PM_TO_FILE(xSync),
    PM_TO_FILE(xFileSize),
    PM_TO_FILE(xLock),
    PM_TO_FILE(xUnlock),
    PM_TO_FILE(xCheckReservedLock),
    PM_TO_FILE(xFileControl),
    PM_TO_FILE(xSectorSize),
    PM_TO_FILE(xDeviceCharacteristics),
    PM_TO_FILE(xShmMap),
    xShmLock,
    PM_TO_FILE(xShmBarrier),
    PM_TO_FILE(xShmUnmap),
    PM_TO_FILE(xFetch),
    PM_TO_FILE(xUnfetch),
};

int xOpen(sqlite3_vfs*, sqlite3_filename name, sqlite3_file* f, int flags, int* outFlags) {
    auto* file = reinterpret_cast<File*>(f);
    file->base.pMethods = nullptr;
    if ((flags & SQLITE_OPEN_MAIN_DB) != 0 && vfsFaults().openError != SQLITE_OK) {
        return vfsFaults().openError;
    }
    file->real = reinterpret_cast<sqlite3_file*>(file + 1);
    const int rc = realVfs->xOpen(realVfs, name, file->real, flags, outFlags);
    if (file->real->pMethods != nullptr) {
        file->base.pMethods = &kMethods;
    }
    return rc;
}

} // namespace

VfsFaults& vfsFaults() {
    static VfsFaults faults;
    return faults;
}

const char* faultyVfs() {
    if (realVfs == nullptr) {
        realVfs = sqlite3_vfs_find(nullptr);
        faulty = {2,
                  static_cast<int>(sizeof(File)) + realVfs->szOsFile,
                  realVfs->mxPathname,
                  nullptr,
                  "pm-faulty",
                  nullptr,
                  xOpen,
                  PM_TO_VFS(xDelete),
                  PM_TO_VFS(xAccess),
                  PM_TO_VFS(xFullPathname),
                  PM_TO_VFS(xDlOpen),
                  PM_TO_VFS(xDlError),
                  PM_TO_VFS(xDlSym),
                  PM_TO_VFS(xDlClose),
                  PM_TO_VFS(xRandomness),
                  PM_TO_VFS(xSleep),
                  PM_TO_VFS(xCurrentTime),
                  PM_TO_VFS(xGetLastError),
                  PM_TO_VFS(xCurrentTimeInt64),
                  nullptr,
                  nullptr,
                  nullptr};
        sqlite3_vfs_register(&faulty, 0);
    }
    return faulty.zName;
}

} // namespace pm::test
