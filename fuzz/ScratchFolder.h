#pragma once
// Where a fuzz target writes the file it feeds the program: in memory where
// the system has a place for it. On a disk file system, rewriting a file for
// every input costs a truncation, block frees and discards, several times
// the work of the input itself.

#include <filesystem>
#include <system_error>

namespace pm::fuzz {

inline std::filesystem::path scratchFolder() {
    const std::filesystem::path shm = "/dev/shm";
    std::error_code ec;
    return std::filesystem::is_directory(shm, ec) ? shm : std::filesystem::temp_directory_path();
}

} // namespace pm::fuzz
