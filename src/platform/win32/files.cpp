// File operations on Windows, where a plain rename refuses a target that exists.
#include "platform/files.h"

#include "platform/win32/compat.h"

#include <io.h>

bool file_replace(const char* from, const char* to)
{
    return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING) != 0;
}

bool file_path_separator(char c)
{
    return c == '/' || c == '\\' || c == ':';
}

bool file_sync(std::FILE* file)
{
    return std::fflush(file) == 0 && _commit(_fileno(file)) == 0;
}
