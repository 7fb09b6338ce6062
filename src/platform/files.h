// File operations whose behaviour differs between systems: a rename that replaces, and the characters
// that separate folders in a path.
#pragma once

#include <cstdio>

// Gives the file `from` the name `to`, replacing a file already there (std::rename refuses that on
// Windows). True on success.
bool file_replace(const char* from, const char* to);

// True for a character that ends a folder's name in a path: '/' everywhere, '\\' and ':' on Windows too.
bool file_path_separator(char c);

// fopen for a file that is written and later renamed while still open (a log at its size limit): on
// Windows the file is opened with sharing that allows the rename, as POSIX always allows it. Null on failure.
FILE* file_open_renamable(const char* path, const char* mode);
