// File operations on POSIX: rename(2) replaces its target in one step.
#include "platform/files.h"

#include <cstdio>

#include <unistd.h>

bool file_replace(const char* from, const char* to)
{
    return std::rename(from, to) == 0;
}

bool file_path_separator(char c)
{
    return c == '/';
}

bool file_sync(std::FILE* file)
{
    return std::fflush(file) == 0 && fsync(fileno(file)) == 0;
}
