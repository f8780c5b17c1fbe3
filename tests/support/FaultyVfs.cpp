#include "support/FaultyVfs.h"

#include <cstring>

namespace pm::test {

namespace {

constexpr const char* kName = "pm-faulty";

struct File {
    sqlite3_file base;
    sqlite3_file* real; // follows this struct in the same allocation
};

sqlite3_vfs* realVfs = nullptr;
sqlite3_vfs faulty{};

sqlite3_file* real(sqlite3_file* f) {
    return reinterpret_cast<File*>(f)->real;
}

int xClose(sqlite3_file* f) {
    return real(f)->pMethods->xClose(real(f));
}
int xRead(sqlite3_file* f, void* buf, int n, sqlite3_int64 at) {
    return real(f)->pMethods->xRead(real(f), buf, n, at);
}
int xWrite(sqlite3_file* f, const void* buf, int n, sqlite3_int64 at) {
    VfsFaults& faults = vfsFaults();
    if (faults.writesLeft == 0) {
        return faults.writeError;
    }
    if (faults.writesLeft > 0) {
        --faults.writesLeft;
    }
    ++faults.writes;
    return real(f)->pMethods->xWrite(real(f), buf, n, at);
}
int xTruncate(sqlite3_file* f, sqlite3_int64 size) {
    return real(f)->pMethods->xTruncate(real(f), size);
}
int xSync(sqlite3_file* f, int flags) {
    return real(f)->pMethods->xSync(real(f), flags);
}
int xFileSize(sqlite3_file* f, sqlite3_int64* size) {
    return real(f)->pMethods->xFileSize(real(f), size);
}
int xLock(sqlite3_file* f, int level) {
    return real(f)->pMethods->xLock(real(f), level);
}
int xUnlock(sqlite3_file* f, int level) {
    return real(f)->pMethods->xUnlock(real(f), level);
}
int xCheckReservedLock(sqlite3_file* f, int* out) {
    return real(f)->pMethods->xCheckReservedLock(real(f), out);
}
int xFileControl(sqlite3_file* f, int op, void* arg) {
    return real(f)->pMethods->xFileControl(real(f), op, arg);
}
int xSectorSize(sqlite3_file* f) {
    return real(f)->pMethods->xSectorSize(real(f));
}
int xDeviceCharacteristics(sqlite3_file* f) {
    return real(f)->pMethods->xDeviceCharacteristics(real(f));
}
int xShmMap(sqlite3_file* f, int page, int size, int extend, void volatile** out) {
    return real(f)->pMethods->xShmMap(real(f), page, size, extend, out);
}
int xShmLock(sqlite3_file* f, int offset, int n, int flags) {
    return real(f)->pMethods->xShmLock(real(f), offset, n, flags);
}
void xShmBarrier(sqlite3_file* f) {
    real(f)->pMethods->xShmBarrier(real(f));
}
int xShmUnmap(sqlite3_file* f, int deleteFlag) {
    return real(f)->pMethods->xShmUnmap(real(f), deleteFlag);
}
int xFetch(sqlite3_file* f, sqlite3_int64 at, int n, void** out) {
    return real(f)->pMethods->xFetch(real(f), at, n, out);
}
int xUnfetch(sqlite3_file* f, sqlite3_int64 at, void* p) {
    return real(f)->pMethods->xUnfetch(real(f), at, p);
}

const sqlite3_io_methods kMethods = {
    3,         xClose,      xRead,          xWrite,       xTruncate,  xSync,
    xFileSize, xLock,       xUnlock,        xCheckReservedLock, xFileControl, xSectorSize,
    xDeviceCharacteristics, xShmMap,        xShmLock,     xShmBarrier, xShmUnmap, xFetch,
    xUnfetch,
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

// Everything but opening goes to the real VFS unchanged.
int xDelete(sqlite3_vfs*, const char* name, int syncDir) {
    return realVfs->xDelete(realVfs, name, syncDir);
}
int xAccess(sqlite3_vfs*, const char* name, int flags, int* out) {
    return realVfs->xAccess(realVfs, name, flags, out);
}
int xFullPathname(sqlite3_vfs*, const char* name, int n, char* out) {
    return realVfs->xFullPathname(realVfs, name, n, out);
}
void* xDlOpen(sqlite3_vfs*, const char* name) {
    return realVfs->xDlOpen(realVfs, name);
}
void xDlError(sqlite3_vfs*, int n, char* out) {
    realVfs->xDlError(realVfs, n, out);
}
void (*xDlSym(sqlite3_vfs*, void* lib, const char* sym))(void) {
    return realVfs->xDlSym(realVfs, lib, sym);
}
void xDlClose(sqlite3_vfs*, void* lib) {
    realVfs->xDlClose(realVfs, lib);
}
int xRandomness(sqlite3_vfs*, int n, char* out) {
    return realVfs->xRandomness(realVfs, n, out);
}
int xSleep(sqlite3_vfs*, int us) {
    return realVfs->xSleep(realVfs, us);
}
int xCurrentTime(sqlite3_vfs*, double* out) {
    return realVfs->xCurrentTime(realVfs, out);
}
int xGetLastError(sqlite3_vfs*, int n, char* out) {
    return realVfs->xGetLastError(realVfs, n, out);
}
int xCurrentTimeInt64(sqlite3_vfs*, sqlite3_int64* out) {
    return realVfs->xCurrentTimeInt64(realVfs, out);
}

} // namespace

VfsFaults& vfsFaults() {
    static VfsFaults faults;
    return faults;
}

const char* faultyVfs() {
    if (realVfs == nullptr) {
        realVfs = sqlite3_vfs_find(nullptr);
        faulty.iVersion = 2;
        faulty.szOsFile = static_cast<int>(sizeof(File)) + realVfs->szOsFile;
        faulty.mxPathname = realVfs->mxPathname;
        faulty.zName = kName;
        faulty.xOpen = xOpen;
        faulty.xDelete = xDelete;
        faulty.xAccess = xAccess;
        faulty.xFullPathname = xFullPathname;
        faulty.xDlOpen = xDlOpen;
        faulty.xDlError = xDlError;
        faulty.xDlSym = xDlSym;
        faulty.xDlClose = xDlClose;
        faulty.xRandomness = xRandomness;
        faulty.xSleep = xSleep;
        faulty.xCurrentTime = xCurrentTime;
        faulty.xGetLastError = xGetLastError;
        faulty.xCurrentTimeInt64 = xCurrentTimeInt64;
        sqlite3_vfs_register(&faulty, 0);
    }
    return kName;
}

} // namespace pm::test
