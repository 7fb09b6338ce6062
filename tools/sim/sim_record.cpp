// Writing the record file.
#include "sim_record.h"

bool sim_record_open(sim_record_type& record, const std::string& path)
{
    record.file = std::fopen(path.c_str(), "w");
    return record.file != nullptr;
}

void sim_record_close(sim_record_type& record)
{
    if (record.file != nullptr)
        std::fclose(record.file);
    record.file = nullptr;
}

void sim_record_packet(sim_record_type& record, double now, const unsigned char* bytes, size_t length)
{
    if (record.file == nullptr)
        return;
    std::string line;
    char item[16];
    std::snprintf(item, sizeof item, "%.6f", now);
    line += item;
    for (size_t i = 0; i < length; i++) {
        std::snprintf(item, sizeof item, " %02X", bytes[i]);
        line += item;
    }
    line += '\n';
    std::fputs(line.c_str(), record.file);
    std::fflush(record.file);
}

void sim_record_note(sim_record_type& record, double now, const std::string& text)
{
    if (record.file == nullptr)
        return;
    std::fprintf(record.file, "# %.6f %s\n", now, text.c_str());
    std::fflush(record.file);
}
