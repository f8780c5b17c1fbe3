# SQLite for the Windows build, compiled from the amalgamation that
# scripts/bootstrap fetches: Debian ships no SQLite for mingw-w64. It stands
# in for the system library under the same target name, so the state store
# and its tests link it as they link Debian's on Linux.
set(PM_SQLITE_AMALGAMATION ${PROJECT_SOURCE_DIR}/third_party/sqlite-amalgamation
    CACHE PATH "SQLite amalgamation (sqlite3.c, sqlite3.h) for builds without a system SQLite")

if(NOT EXISTS ${PM_SQLITE_AMALGAMATION}/sqlite3.c OR NOT EXISTS ${PM_SQLITE_AMALGAMATION}/sqlite3.h)
  set(PM_SQLITE_FOUND OFF)
  return()
endif()
set(PM_SQLITE_FOUND ON)

enable_language(C)
file(STRINGS ${PM_SQLITE_AMALGAMATION}/sqlite3.h pm_sqlite_version_line REGEX "^#define SQLITE_VERSION +\"")
string(REGEX REPLACE ".*\"([^\"]+)\".*" "\\1" pm_sqlite_version "${pm_sqlite_version_line}")
message(STATUS "SQLite ${pm_sqlite_version} from ${PM_SQLITE_AMALGAMATION}")

add_library(pm_sqlite3 STATIC ${PM_SQLITE_AMALGAMATION}/sqlite3.c)
# SYSTEM: its header is not ours to warn about.
target_include_directories(pm_sqlite3 SYSTEM PUBLIC ${PM_SQLITE_AMALGAMATION})
target_compile_definitions(pm_sqlite3 PRIVATE
  # The store checkpoints from a thread of its own, on its own connection.
  SQLITE_THREADSAFE=1
  # A string in double quotes is an error, not a quietly taken string.
  SQLITE_DQS=0
  SQLITE_OMIT_LOAD_EXTENSION
  SQLITE_DEFAULT_MEMSTATUS=0
  SQLITE_LIKE_DOESNT_MATCH_BLOBS)
# Not our code: its warnings would only bury ours.
target_compile_options(pm_sqlite3 PRIVATE -w)
set_target_properties(pm_sqlite3 PROPERTIES C_STANDARD 11 C_EXTENSIONS ON)
add_library(SQLite::SQLite3 ALIAS pm_sqlite3)
