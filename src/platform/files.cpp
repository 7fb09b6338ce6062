// Folder operations that the standard library already makes the same on every system.
#include "platform/files.h"

#include <chrono>
#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

bool folder_create(const char* path)
{
    std::error_code error;
    fs::create_directories(path, error);
    return fs::is_directory(path, error);
}

std::vector<folder_entry_type> folder_files(const char* path)
{
    std::vector<folder_entry_type> entries;
    std::error_code error;
    auto file_now = fs::file_time_type::clock::now();
    auto system_now = std::chrono::system_clock::now();
    for (fs::directory_iterator it(path, error), end; !error && it != end; it.increment(error)) {
        std::error_code entry_error;
        // A symbolic link is not followed: it could name any file the program may read.
        if (!fs::is_regular_file(it->symlink_status(entry_error)))
            continue;
        folder_entry_type entry;
        entry.name = it->path().filename().string();
        entry.size = it->file_size(entry_error);
        auto written = system_now + std::chrono::duration_cast<std::chrono::system_clock::duration>(
                                        it->last_write_time(entry_error) - file_now);
        entry.modified_ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(written.time_since_epoch()).count();
        if (!entry_error)
            entries.push_back(std::move(entry));
    }
    return entries;
}
