// Small services every unit uses: hex dumps, byte records, the serial checksum and the configuration's
// tokens.
#include "services/utility.h"

#include "services/log.h"
#include "services/message_lines.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

void show_buffer(const char* name, const unsigned char* data, int length, bool to_screen)
{
    static const char digits[] = "0123456789abcdef";
    if (length < 0)
        length = 0;
    // A camera packet's dump fits on the stack; only a longer one takes the heap.
    char local[2048];
    size_t size = static_cast<size_t>(length) * 3 + 100;
    char* text = size <= sizeof local ? local : static_cast<char*>(std::malloc(size));
    if (text == nullptr)
        return;
    int head = std::snprintf(text, 100, "%s: (%d) ", name, length);
    size_t used = head < 0 ? 0 : std::min(static_cast<size_t>(head), static_cast<size_t>(99));
    for (int i = 0; i < length; i++) {
        text[used++] = digits[data[i] >> 4];
        text[used++] = digits[data[i] & 0x0F];
        text[used++] = ' ';
    }
    text[used] = 0;
    if (to_screen)
        add_line("%s", text);
    else
        log_write("%s", text);
    if (text != local)
        std::free(text);
}

void append_byte(unsigned char* buffer, unsigned int& index, unsigned char value)
{
    buffer[index] = value;
    index++;
}

unsigned int get_checksum(const unsigned char* data, unsigned int length)
{
    unsigned int sum = 0;
    for (unsigned int i = 0; i < length; i++)
        sum += data[i];
    return sum & 0xFF;
}

void get_next_string(const char* line, unsigned int& position, char* token)
{
    while (position < config_token_limit && (line[position] == ' ' || line[position] == '\t'))
        position++;
    unsigned int used = 0;
    while (position < config_token_limit && line[position] != 0 && line[position] != ' ' && line[position] != '\t')
        token[used++] = line[position++];
    token[used] = 0;
    if (position < config_token_limit && (line[position] == ' ' || line[position] == '\t'))
        position++;
}
