// Writes MCAP recordings: schemas, channels and messages in chunks, each chunk followed by its message
// indexes, then the summary a reader seeks with. Pure bytes out through a sink, so tests read what it made.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

// Takes the next bytes of the file; false when they could not be written.
using mcap_sink = std::function<bool(const unsigned char* data, size_t length)>;

class mcap_writer_class {
public:
    explicit mcap_writer_class(mcap_sink sink);

    // Magic and header. Everything after a failed write is skipped; failed() tells.
    bool open(const std::string& library);
    // Written to the data section at once; ids count from 1.
    uint16_t add_schema(const std::string& name, const std::string& encoding, const std::string& data);
    uint16_t add_channel(uint16_t schema_id, const std::string& topic, const std::string& message_encoding);
    // Appends to the open chunk; log_time in nanoseconds since 1970.
    bool add_message(uint16_t channel_id, uint64_t log_time, const unsigned char* data, size_t length);
    // Writes the open chunk and its message indexes, if it holds anything.
    bool close_chunk();
    // Closes the chunk, then data end, summary, summary offsets, footer and the closing magic.
    bool finish();

    bool failed() const { return broken; }
    size_t chunk_size() const { return chunk.size(); }  // bytes in the open chunk
    uint64_t size() const { return offset; }            // bytes handed to the sink
    uint64_t message_count() const { return messages; }

private:
    struct chunk_index_type {
        uint64_t start_time, end_time, chunk_offset, chunk_length, index_length, records_size;
        std::map<uint16_t, uint64_t> index_offsets;  // channel id to its message index record
    };
    struct schema_type { uint16_t id; std::string name, encoding, data; };
    struct channel_type { uint16_t id, schema_id; std::string topic, encoding; };

    bool emit(const std::vector<unsigned char>& bytes);
    bool write_indexes(chunk_index_type& index);
    std::vector<unsigned char> summary_group(unsigned char opcode, uint64_t& group_start,
                                             std::vector<unsigned char>& summary);

    mcap_sink sink;
    bool broken = false;
    uint64_t offset = 0;                  // bytes written so far
    uint32_t data_crc = 0;                // running CRC of everything up to the data end
    std::vector<schema_type> schemas;
    std::vector<channel_type> channels;
    std::vector<unsigned char> chunk;     // the open chunk's records
    uint64_t chunk_start = 0, chunk_end = 0;
    std::map<uint16_t, std::vector<std::pair<uint64_t, uint64_t>>> chunk_entries;  // per channel: time, offset
    std::vector<chunk_index_type> chunk_indexes;
    std::map<uint16_t, uint64_t> channel_counts;
    uint64_t messages = 0, first_time = 0, last_time = 0;
};

// The standard CRC-32 (as zlib's), continued from crc over the bytes.
uint32_t mcap_crc32(uint32_t crc, const unsigned char* data, size_t length);
