// One camera image: an image request goes out, the image message that answers it is saved as a JPEG.
#pragma once

#include "options.h"
#include "protocol.h"

#include <string>

// Returns 0 when the image came and was saved, 1 otherwise (the reason on standard error).
int snapshot_run(const options_type& options);

// Writes the JPEG to the file; returns 0, or 1 with the reason in error.
int snapshot_save(const protocol_picture_type& image, const std::string& file, std::string* error);
