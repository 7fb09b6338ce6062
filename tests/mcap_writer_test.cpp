// The MCAP writer: a file is walked record by record and every index is followed to what it points at.
#include "record/mcap_writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using bytes_type = std::vector<unsigned char>;

uint64_t read_le(const bytes_type& b, size_t at, int width)
{
    uint64_t value = 0;
    for (int i = width - 1; i >= 0; i--)
        value = value << 8 | b.at(at + i);
    return value;
}

struct record_type {
    unsigned char opcode;
    size_t at;       // offset of the opcode
    size_t content;  // offset of the content
    uint64_t length;
};

// The records from start to end, as a reader walks them.
std::vector<record_type> walk(const bytes_type& b, size_t start, size_t end)
{
    std::vector<record_type> records;
    for (size_t at = start; at < end;) {
        record_type r{b.at(at), at, at + 9, read_le(b, at + 1, 8)};
        records.push_back(r);
        at = r.content + r.length;
    }
    return records;
}

} // namespace

TEST(mcap_writer, crc_is_the_standard_one)
{
    const std::string text = "123456789";
    EXPECT_EQ(mcap_crc32(0, reinterpret_cast<const unsigned char*>(text.data()), text.size()), 0xCBF43926u);
}

TEST(mcap_writer, records_and_indexes_point_where_they_say)
{
    bytes_type file;
    mcap_writer_class writer([&](const unsigned char* d, size_t n) {
        file.insert(file.end(), d, d + n);
        return true;
    });
    ASSERT_TRUE(writer.open("test"));
    uint16_t schema = writer.add_schema("s", "jsonschema", "{}");
    uint16_t a = writer.add_channel(schema, "/a", "json");
    uint16_t b = writer.add_channel(schema, "/b", "json");
    const unsigned char payload[] = {'{', '}'};
    writer.add_message(a, 100, payload, 2);
    writer.add_message(b, 150, payload, 2);
    writer.add_message(a, 200, payload, 2);
    ASSERT_TRUE(writer.close_chunk());
    writer.add_message(b, 300, payload, 2);
    ASSERT_TRUE(writer.finish());
    EXPECT_EQ(writer.size(), file.size());

    const bytes_type magic = {0x89, 'M', 'C', 'A', 'P', '0', '\r', '\n'};
    ASSERT_TRUE(std::equal(magic.begin(), magic.end(), file.begin()));
    ASSERT_TRUE(std::equal(magic.begin(), magic.end(), file.end() - 8));
    std::vector<record_type> records = walk(file, 8, file.size() - 8);
    std::string opcodes;
    for (auto& r : records)
        opcodes += std::to_string(r.opcode) + " ";
    // header, schema, 2 channels, chunk + 2 indexes, chunk + 1 index, data end,
    // summary: schema, 2 channels, statistics, 2 chunk indexes; 4 summary offsets; footer
    EXPECT_EQ(opcodes, "1 3 4 4 6 7 7 6 7 15 3 4 4 11 8 8 14 14 14 14 2 ");

    const record_type& footer = records.back();
    uint64_t summary_start = read_le(file, footer.content, 8);
    uint64_t offsets_start = read_le(file, footer.content + 8, 8);
    EXPECT_EQ(summary_start, records[10].at);
    EXPECT_EQ(offsets_start, records[16].at);
    EXPECT_EQ(read_le(file, footer.content + 16, 4),
              mcap_crc32(0, file.data() + summary_start, footer.content + 16 - summary_start));
    EXPECT_EQ(read_le(file, records[9].content, 4), mcap_crc32(0, file.data(), records[9].at));

    const record_type& stats = records[13];
    EXPECT_EQ(read_le(file, stats.content, 8), 4u);        // messages
    EXPECT_EQ(read_le(file, stats.content + 22, 4), 2u);   // chunks
    EXPECT_EQ(read_le(file, stats.content + 26, 8), 100u); // first time
    EXPECT_EQ(read_le(file, stats.content + 34, 8), 300u); // last time

    // The first chunk index leads to the chunk, and its message index for /a to a's two messages.
    const record_type& index = records[14];
    EXPECT_EQ(read_le(file, index.content, 8), 100u);
    EXPECT_EQ(read_le(file, index.content + 8, 8), 200u);
    EXPECT_EQ(read_le(file, index.content + 16, 8), records[4].at);
    EXPECT_EQ(read_le(file, index.content + 24, 8), records[5].at - records[4].at);
    EXPECT_EQ(read_le(file, index.content + 32, 4), 20u);  // two (channel, offset) entries
    EXPECT_EQ(read_le(file, index.content + 36, 2), a);
    EXPECT_EQ(read_le(file, index.content + 38, 8), records[5].at);
    const record_type& chunk = records[4];
    size_t chunk_records = chunk.content + 8 + 8 + 8 + 4 + 4 + 8;
    uint64_t chunk_size = read_le(file, chunk.content + 16, 8);
    EXPECT_EQ(read_le(file, chunk.content + 24, 4), mcap_crc32(0, file.data() + chunk_records, chunk_size));
    const record_type& a_index = records[5];
    EXPECT_EQ(read_le(file, a_index.content, 2), a);
    ASSERT_EQ(read_le(file, a_index.content + 2, 4), 32u);
    for (int entry = 0; entry < 2; entry++) {
        uint64_t time = read_le(file, a_index.content + 6 + 16 * entry, 8);
        uint64_t at = chunk_records + read_le(file, a_index.content + 14 + 16 * entry, 8);
        EXPECT_EQ(file.at(at), 0x05);                  // a message record
        EXPECT_EQ(read_le(file, at + 9, 2), a);        // of channel a
        EXPECT_EQ(read_le(file, at + 11, 4), entry);   // its sequence
        EXPECT_EQ(read_le(file, at + 15, 8), time);    // at the indexed time
    }
}

TEST(mcap_writer, a_failed_write_stops_everything_after_it)
{
    int calls = 0;
    mcap_writer_class writer([&](const unsigned char*, size_t) { return ++calls < 3; });
    writer.open("test");
    writer.add_schema("s", "jsonschema", "{}");
    writer.add_channel(1, "/a", "json");  // the third write fails
    EXPECT_TRUE(writer.failed());
    const unsigned char payload[] = {'1'};
    EXPECT_FALSE(writer.add_message(1, 1, payload, 1));
    EXPECT_FALSE(writer.finish());
    EXPECT_EQ(calls, 3);
}
