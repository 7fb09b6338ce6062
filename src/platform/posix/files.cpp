// File operations on POSIX: rename(2) replaces its target in one step; open(2) sets a new file's mode as
// it creates it.
#include "platform/files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include <unistd.h>

bool file_replace(const char* from, const char* to)
{
    return std::rename(from, to) == 0;
}

const char* file_line_end()
{
    return "\n";
}

bool file_path_separator(char c)
{
    return c == '/';
}

FILE* file_open_renamable(const char* path, const char* mode)
{
    return std::fopen(path, mode);
}

bool file_create_private(const char* path, const char* data, size_t length)
{
    // O_EXCL: a file or a planted link already at the path is refused, never followed or reused.
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return false;
    size_t done = 0;
    while (done < length) {
        ssize_t wrote = write(fd, data + done, length - done);
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0)
            break;
        done += static_cast<size_t>(wrote);
    }
    bool whole = close(fd) == 0 && done == length;
    if (!whole)
        unlink(path);
    return whole;
}

bool file_sync(std::FILE* file)
{
    return std::fflush(file) == 0 && fsync(fileno(file)) == 0;
}
