// The configuration reader: keys, values, comments, line ends and the limits of config.txt.
#include "app/config.h"

#include "bus_support.h"
#include "net/network.h"
#include "services/utility.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

using namespace bus_test;

namespace {

class ConfigFile : public testing::Test {
protected:
    void SetUp() override { path = log.path() + ".config.txt"; }
    void TearDown() override { std::remove(path.c_str()); }

    // Writes the content as config.txt and reads it.
    void load(const std::string& content)
    {
        FILE* file = std::fopen(path.c_str(), "wb");
        ASSERT_NE(file, nullptr);
        std::fwrite(content.data(), 1, content.size(), file);
        std::fclose(file);
        load_config(path.c_str(), config);
    }
    std::string port() const { return config.serial_port; }

    test_log log;
    std::string path;
    config_type config;
};

} // namespace

TEST_F(ConfigFile, KeyAndValueWithAnyBlanksBetween)
{
    load("serial_port COM3\n");
    EXPECT_EQ(port(), "COM3");
    EXPECT_EQ(config.camera_number, 0);
    load(" \t serial_port \t  pts/3\n");
    EXPECT_EQ(port(), "pts/3");
}

TEST_F(ConfigFile, KeysAreCaseSensitive)
{
    load("Serial_Port COM3\nCAMERA_NUMBER 4\n");
    EXPECT_EQ(port(), "");
    EXPECT_EQ(config.camera_number, 0);
}

TEST_F(ConfigFile, CameraNumberIsReadAsADecimalPrefix)
{
    load("camera_number 2\n");
    EXPECT_EQ(config.camera_number, 2);
    load("camera_number 12abc\n");
    EXPECT_EQ(config.camera_number, 12);
    load("camera_number -7\n");
    EXPECT_EQ(config.camera_number, -7);
    load("camera_number\n");  // no value: unchanged
    EXPECT_EQ(config.camera_number, -7);
    load("camera_number abc\n");
    EXPECT_EQ(config.camera_number, 0);
    load("camera_number 99999999999999\n");  // kept inside an int
    EXPECT_EQ(config.camera_number, 2147483647);
}

TEST_F(ConfigFile, SerialPortAloneEmptiesTheName)
{
    load("serial_port COM1\nserial_port\n");
    EXPECT_EQ(port(), "");
}

TEST_F(ConfigFile, CommentLinesContributeNothing)
{
    load("# serial_port COM9\n#camera_number 3\nserial_port COM4\n");
    EXPECT_EQ(port(), "COM4");
    EXPECT_EQ(config.camera_number, 0);
}

TEST_F(ConfigFile, ATrailingCommentEndsAtItsLineEndAndTheNextLineStandsAlone)
{
    load("serial_port COM2 # main port\ncamera_number 1\n");
    EXPECT_EQ(port(), "COM2");
    EXPECT_EQ(config.camera_number, 1);
    load("camera_number 5# five\r\nserial_port COM6#six\rcamera_number 6");
    EXPECT_EQ(port(), "COM6");
    EXPECT_EQ(config.camera_number, 6);
}

TEST_F(ConfigFile, TheTokenAfterTheValueIsNotRead)
{
    load("serial_port COM1 camera_number 2\n");
    EXPECT_EQ(port(), "COM1");
    EXPECT_EQ(config.camera_number, 0);
}

TEST_F(ConfigFile, CrLfLineEndsReadLikeLf)
{
    load("serial_port ttyUSB0\r\ncamera_number 3\r\n\r\n");
    EXPECT_EQ(port(), "ttyUSB0");
    EXPECT_EQ(config.camera_number, 3);
}

TEST_F(ConfigFile, TheLaterOfTwoSerialPortLinesWinsAndTheLastLineNeedsNoLineEnd)
{
    load("serial_port COM1\nserial_port COM2");
    EXPECT_EQ(port(), "COM2");
}

TEST_F(ConfigFile, AFullPathOfUpTo255CharactersIsTakenAndALongerOneRefused)
{
    const std::string by_id = "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0";
    load("serial_port " + by_id + "  # the adapter's stable name\n");
    EXPECT_EQ(port(), by_id);
    const std::string longest = "/" + std::string(254, 'p');
    load("serial_port " + longest + "\n");
    EXPECT_EQ(port(), longest);
    load("serial_port " + longest + "q\n");
    EXPECT_EQ(port(), longest);
    EXPECT_EQ(newest_message_line(), "load_config: serial_port name longer than 255 characters refused");
    load("serial_port " + std::string(1000, 'x') + "\n");
    EXPECT_EQ(port(), longest);
}

TEST_F(ConfigFile, ALineEndsAfter1024CharactersAndTheRestBeginsTheNextLine)
{
    load(std::string(1024, ' ') + "serial_port COM5\n");
    EXPECT_EQ(port(), "COM5");
    load(std::string(1023, ' ') + "serial_port COM7\n");  // cut inside the key: neither part is a key
    EXPECT_EQ(port(), "COM5");
}

TEST_F(ConfigFile, MissingFileIsReportedAndTheSettingsStand)
{
    config.serial_port = "COM8";
    config.camera_number = 4;
    load_config((path + ".missing").c_str(), config);
    EXPECT_EQ(newest_message_line(), "load_config: Unable to load config file");
    EXPECT_EQ(port(), "COM8");
    EXPECT_EQ(config.camera_number, 4);
}

TEST(ConfigTokens, NextStringSkipsBlanksAndStopsAtTheTerminator)
{
    char token[1025];
    unsigned int position = 0;
    get_next_string("  key\t value", position, token);
    EXPECT_STREQ(token, "key");
    EXPECT_EQ(position, 6u);  // the tab that ended the token is consumed
    get_next_string("  key\t value", position, token);
    EXPECT_STREQ(token, "value");
    get_next_string("  key\t value", position, token);
    EXPECT_STREQ(token, "");
    get_next_string("  key\t value", position, token);
    EXPECT_STREQ(token, "");
}

// The keys of the log and the link: values set where they act, bad ones refused with a line (the size
// limit's effect is tested with the log and end to end).
TEST_F(ConfigFile, LogAndLinkKeys)
{
    load("log_camera_data 0\nlisten_address 127.0.0.1\n");
    EXPECT_FALSE(config.log_camera_data);
    EXPECT_EQ(config.listen_address, "127.0.0.1");
    load("log_camera_data 1\nlisten_address\n");
    EXPECT_TRUE(config.log_camera_data);
    EXPECT_EQ(config.listen_address, "");  // every interface again
    std::string long_value(300, '1');
    load("listen_address " + long_value + "\n");
    EXPECT_EQ(config.listen_address, long_value.substr(0, network_address_size - 1));

    load("log_camera_data yes\nlog_camera_data 2\nlog_camera_data true\n");
    EXPECT_TRUE(config.log_camera_data) << "a refused value keeps what was there";
    EXPECT_EQ(log.count_starting("load_config: log_camera_data"), 3);

    load("log_size_limit 0.005\nlog_size_limit abc\nlog_size_limit -3\nlog_size_limit 2x\nlog_size_limit 0\n");
    EXPECT_EQ(log.count_starting("load_config: log_size_limit"), 3);
    // 0 is no limit: far past the smallest limit, the run stays in one file.
    std::string line(200, 'x');
    for (int i = 0; i < 100; i++)
        log_write("%s", line.c_str());
    std::string old_path = log.path().substr(0, log.path().size() - 4) + ".1.txt";
    EXPECT_FALSE(std::ifstream(old_path).good());
    EXPECT_GE(log.lines().size(), 100u);
}

TEST_F(ConfigFile, CameraPipelineTakesTheRestOfItsLineWithoutOuterBlanks)
{
    config.camera_pipeline.clear();
    load("serial_port COM3\n");
    EXPECT_EQ(config.camera_pipeline, "") << "absent: no capture";
    load("camera_pipeline \t videotestsrc pattern=ball ! video/x-raw,width=320,height=240 \t \r\n");
    EXPECT_EQ(config.camera_pipeline, "videotestsrc pattern=ball ! video/x-raw,width=320,height=240");
    load("camera_pipeline device # the USB camera\ncamera_number 2\n");
    EXPECT_EQ(config.camera_pipeline, "device");
    EXPECT_EQ(config.camera_number, 2);
}
