// File operations on POSIX: rename(2) replaces its target in one step.
#include "platform/files.h"

#include <cstdio>

bool file_replace(const char* from, const char* to)
{
    return std::rename(from, to) == 0;
}

bool file_path_separator(char c)
{
    return c == '/';
}

FILE* file_open_renamable(const char* path, const char* mode)
{
    return std::fopen(path, mode);
}
