// File operations whose behaviour differs between systems: a rename that replaces, a file only its owner
// may read, and the characters that separate folders in a path.
#pragma once

#include <cstdio>
#include <cstddef>

// Gives the file `from` the name `to`, replacing a file already there (std::rename refuses that on
// Windows). True on success.
bool file_replace(const char* from, const char* to);

// How a line of a text file ends here: "\r\n" on Windows (its tools expect it), "\n" elsewhere.
const char* file_line_end();

// True for a character that ends a folder's name in a path: '/' everywhere, '\\' and ':' on Windows too.
bool file_path_separator(char c);

// fopen for a file that is written and later renamed while still open (a log at its size limit): on
// Windows the file is opened with sharing that allows the rename, as POSIX always allows it. Null on failure.
FILE* file_open_renamable(const char* path, const char* mode);
// Creates the file, which must not exist yet (nor be a link), readable and writable by its owner only
// from the moment it exists, and writes the bytes into it. False when it exists or anything fails; a file
// that was created but not fully written is removed again.
bool file_create_private(const char* path, const char* data, size_t length);
