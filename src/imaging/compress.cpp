// Frame compression (built with the camera service).
#include "imaging/compress.h"

bool compress_frame(const unsigned char*, unsigned char*, unsigned char*, int, unsigned int*, int, int) { return false; }
void convert_4byte_to_3byte(const unsigned char*, unsigned char*, unsigned int) {}
void image_message_header(unsigned char*, int, int, unsigned int) {}
