// The MCAP writer: every record is built field by field, little-endian, into a byte vector and handed on.
#include "record/mcap_writer.h"

#include <algorithm>
#include <array>

namespace {

const unsigned char magic[8] = {0x89, 'M', 'C', 'A', 'P', '0', '\r', '\n'};

enum : unsigned char {
    op_header = 0x01, op_footer = 0x02, op_schema = 0x03, op_channel = 0x04, op_message = 0x05,
    op_chunk = 0x06, op_message_index = 0x07, op_chunk_index = 0x08, op_statistics = 0x0B,
    op_summary_offset = 0x0E, op_data_end = 0x0F,
};

using bytes_type = std::vector<unsigned char>;

void put(bytes_type& out, uint64_t value, int width)
{
    for (int i = 0; i < width; i++)
        out.push_back(static_cast<unsigned char>(value >> (8 * i)));
}
void put16(bytes_type& out, uint64_t value) { put(out, value, 2); }
void put32(bytes_type& out, uint64_t value) { put(out, value, 4); }
void put64(bytes_type& out, uint64_t value) { put(out, value, 8); }

void put_string(bytes_type& out, const std::string& text)
{
    put32(out, text.size());
    out.insert(out.end(), text.begin(), text.end());
}

// A record: opcode, content length, content.
bytes_type record(unsigned char opcode, const bytes_type& content)
{
    bytes_type out;
    out.reserve(content.size() + 9);
    out.push_back(opcode);
    put64(out, content.size());
    out.insert(out.end(), content.begin(), content.end());
    return out;
}

// A map or array field: its byte length, then the entries.
void put_sized(bytes_type& out, const bytes_type& entries)
{
    put32(out, entries.size());
    out.insert(out.end(), entries.begin(), entries.end());
}

std::array<uint32_t, 256> make_crc_table()
{
    std::array<uint32_t, 256> table{};
    for (uint32_t n = 0; n < 256; n++) {
        uint32_t c = n;
        for (int k = 0; k < 8; k++)
            c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[n] = c;
    }
    return table;
}

} // namespace

uint32_t mcap_crc32(uint32_t crc, const unsigned char* data, size_t length)
{
    static const std::array<uint32_t, 256> table = make_crc_table();
    crc = ~crc;
    for (size_t i = 0; i < length; i++)
        crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

mcap_writer_class::mcap_writer_class(mcap_sink sink) : sink(std::move(sink)) {}

bool mcap_writer_class::emit(const bytes_type& bytes)
{
    if (broken)
        return false;
    if (!sink(bytes.data(), bytes.size())) {
        broken = true;
        return false;
    }
    data_crc = mcap_crc32(data_crc, bytes.data(), bytes.size());
    offset += bytes.size();
    return true;
}

bool mcap_writer_class::open(const std::string& library)
{
    bytes_type header;
    put_string(header, "");  // no profile: plain JSON channels
    put_string(header, library);
    bytes_type out(magic, magic + sizeof magic);
    bytes_type rec = record(op_header, header);
    out.insert(out.end(), rec.begin(), rec.end());
    return emit(out);
}

uint16_t mcap_writer_class::add_schema(const std::string& name, const std::string& encoding, const std::string& data)
{
    uint16_t id = static_cast<uint16_t>(schemas.size() + 1);
    schemas.push_back({id, name, encoding, data});
    bytes_type content;
    put16(content, id);
    put_string(content, name);
    put_string(content, encoding);
    put_string(content, data);
    emit(record(op_schema, content));
    return id;
}

uint16_t mcap_writer_class::add_channel(uint16_t schema_id, const std::string& topic, const std::string& message_encoding)
{
    uint16_t id = static_cast<uint16_t>(channels.size() + 1);
    channels.push_back({id, schema_id, topic, message_encoding});
    channel_counts[id] = 0;
    bytes_type content;
    put16(content, id);
    put16(content, schema_id);
    put_string(content, topic);
    put_string(content, message_encoding);
    put32(content, 0);  // no metadata
    emit(record(op_channel, content));
    return id;
}

bool mcap_writer_class::add_message(uint16_t channel_id, uint64_t log_time, const unsigned char* data, size_t length)
{
    if (broken)
        return false;
    if (chunk.empty())
        chunk_start = chunk_end = log_time;
    chunk_start = std::min(chunk_start, log_time);
    chunk_end = std::max(chunk_end, log_time);
    chunk_entries[channel_id].emplace_back(log_time, chunk.size());
    uint64_t sequence = channel_counts[channel_id]++;
    chunk.push_back(op_message);
    put64(chunk, 22 + length);
    put16(chunk, channel_id);
    put32(chunk, sequence);
    put64(chunk, log_time);
    put64(chunk, log_time);  // published when logged
    chunk.insert(chunk.end(), data, data + length);
    if (messages == 0 || log_time < first_time)
        first_time = log_time;
    if (messages == 0 || log_time > last_time)
        last_time = log_time;
    messages++;
    return true;
}

bool mcap_writer_class::close_chunk()
{
    if (chunk.empty() || broken) {
        chunk.clear();
        chunk_entries.clear();
        return !broken;
    }
    chunk_index_type index{chunk_start, chunk_end, offset, 0, 0, chunk.size(), {}};
    bytes_type content;
    put64(content, chunk_start);
    put64(content, chunk_end);
    put64(content, chunk.size());
    put32(content, mcap_crc32(0, chunk.data(), chunk.size()));
    put_string(content, "");  // not compressed
    put64(content, chunk.size());
    content.insert(content.end(), chunk.begin(), chunk.end());
    bytes_type rec = record(op_chunk, content);
    index.chunk_length = rec.size();
    chunk.clear();
    if (!emit(rec))
        return false;
    return write_indexes(index);
}

// One message index record per channel that the chunk just written holds.
bool mcap_writer_class::write_indexes(chunk_index_type& index)
{
    uint64_t indexes_start = offset;
    bytes_type out;
    for (auto& [channel_id, entries] : chunk_entries) {
        index.index_offsets[channel_id] = indexes_start + out.size();
        bytes_type pairs;
        for (auto& [time, at] : entries) {
            put64(pairs, time);
            put64(pairs, at);
        }
        bytes_type content;
        put16(content, channel_id);
        put_sized(content, pairs);
        bytes_type rec = record(op_message_index, content);
        out.insert(out.end(), rec.begin(), rec.end());
    }
    chunk_entries.clear();
    index.index_length = out.size();
    chunk_indexes.push_back(index);
    return emit(out);
}

// Appends one group of summary records and returns its summary offset record.
bytes_type mcap_writer_class::summary_group(unsigned char opcode, uint64_t& group_start, bytes_type& summary)
{
    size_t before = summary.size();
    auto add = [&](const bytes_type& content) {
        bytes_type rec = record(opcode, content);
        summary.insert(summary.end(), rec.begin(), rec.end());
    };
    if (opcode == op_schema) {
        for (auto& schema : schemas) {
            bytes_type content;
            put16(content, schema.id);
            put_string(content, schema.name);
            put_string(content, schema.encoding);
            put_string(content, schema.data);
            add(content);
        }
    } else if (opcode == op_channel) {
        for (auto& channel : channels) {
            bytes_type content;
            put16(content, channel.id);
            put16(content, channel.schema_id);
            put_string(content, channel.topic);
            put_string(content, channel.encoding);
            put32(content, 0);
            add(content);
        }
    } else if (opcode == op_statistics) {
        bytes_type content, counts;
        put64(content, messages);
        put16(content, schemas.size());
        put32(content, channels.size());
        put32(content, 0);  // attachments
        put32(content, 0);  // metadata
        put32(content, chunk_indexes.size());
        put64(content, first_time);
        put64(content, last_time);
        for (auto& [id, count] : channel_counts) {
            put16(counts, id);
            put64(counts, count);
        }
        put_sized(content, counts);
        add(content);
    } else {
        for (auto& index : chunk_indexes) {
            bytes_type content, offsets;
            put64(content, index.start_time);
            put64(content, index.end_time);
            put64(content, index.chunk_offset);
            put64(content, index.chunk_length);
            for (auto& [id, at] : index.index_offsets) {
                put16(offsets, id);
                put64(offsets, at);
            }
            put_sized(content, offsets);
            put64(content, index.index_length);
            put_string(content, "");
            put64(content, index.records_size);
            put64(content, index.records_size);
            add(content);
        }
    }
    bytes_type pointer;
    pointer.push_back(opcode);
    put64(pointer, group_start + before);
    put64(pointer, summary.size() - before);
    return record(op_summary_offset, pointer);
}

bool mcap_writer_class::finish()
{
    close_chunk();
    bytes_type data_end;
    put32(data_end, data_crc);
    emit(record(op_data_end, data_end));
    uint64_t summary_start = offset;
    bytes_type summary, offsets;
    for (unsigned char opcode : {op_schema, op_channel, op_statistics, op_chunk_index}) {
        bytes_type pointer = summary_group(opcode, summary_start, summary);
        offsets.insert(offsets.end(), pointer.begin(), pointer.end());
    }
    uint64_t offsets_start = summary_start + summary.size();
    bytes_type tail = summary;
    tail.insert(tail.end(), offsets.begin(), offsets.end());
    tail.push_back(op_footer);
    put64(tail, 20);
    put64(tail, summary_start);
    put64(tail, offsets_start);
    // The summary's CRC covers it from its start through the footer's offsets field.
    put32(tail, mcap_crc32(0, tail.data(), tail.size()));
    tail.insert(tail.end(), magic, magic + sizeof magic);
    return emit(tail);
}
