// The ARM package's quillon under user-mode emulation, as a Raspberry Pi runs it: this machine's
// quillon-sim plays the board on a pseudo-terminal, a Linux operator client drives over TCP, a plain
// HTTP client loads the web console, and a GStreamer test source stands in for the Pi's camera.
#include "integration_support.h"
#include "sim_record_support.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>

using namespace integration;
using bytes = std::vector<unsigned char>;
using std::chrono::seconds;

namespace {

// Emulation runs the program several times slower than the board would: limits are generous, and every
// wait ends as soon as its condition holds.
const seconds start_limit(120);
const seconds step_limit(30);

const std::string web_token = "arm-journey-token-0123456789";

// quillon-sim recording the board's commands, and the packaged quillon with its console on a free port
// and a test source as its camera.
class journey_rig {
public:
    journey_rig()
    {
        sim = std::make_unique<process>(std::vector<std::string>{sim_binary(), "--write-config", folder.path(), "--record",
                                                                 bus(), "--no-stdin", "--quiet"},
                                        folder.path());
        wait_until([&] {
            std::string config = read_file(folder.file("config.txt"));
            return config.rfind("serial_port pts/", 0) == 0 && config.find('\n') != std::string::npos;
        });
        web_port = free_port();
        std::ofstream(folder.file("config.txt"), std::ios::app)
            << "log_camera_data 0\nweb_port " << web_port << "\nweb_token " << web_token
            << "\ncamera_pipeline videotestsrc is-live=true ! video/x-raw,width=320,height=240,framerate=10/1\n";
        program = start_quillon(folder);
    }
    ~journey_rig()
    {
        if (program->running()) {
            program->signal(SIGTERM);
            program->wait(step_limit);
        }
    }
    std::string bus() const { return folder.file("bus.txt"); }
    std::string log() const { return folder.file("log.txt"); }
    std::vector<board_command_type> commands() const { return read_board_commands(bus()); }

    temp_folder folder;
    std::unique_ptr<process> sim;
    std::unique_ptr<process> program;
    int web_port = 0;
};

// Sends the control message and reads its telemetry reply; false when the reply is not one.
bool exchange(tcp_client& client, unsigned char left, unsigned char right)
{
    if (!client.send_bytes(control_message(0x00, left, right)))
        return false;
    bytes reply = client.receive(21, step_limit);
    return reply.size() == 21 && reply[0] == 0x90;
}

// Asks for a picture: the telemetry reply first, then the image message (type, width, height, length,
// JPEG). Returns the JPEG, empty when something else came.
bytes request_image(tcp_client& client, int* width, int* height)
{
    bytes reply;
    if (!client.send_bytes({0x60}) || (reply = client.receive(21, step_limit)).size() != 21 || reply[0] != 0x90)
        return {};
    bytes header = client.receive(9, step_limit);
    if (header.size() != 9 || header[0] != 0x60)
        return {};
    *width = header[1] << 8 | header[2];
    *height = header[3] << 8 | header[4];
    size_t length = static_cast<size_t>(header[5]) << 24 | header[6] << 16 | header[7] << 8 | header[8];
    return client.receive(length, step_limit);
}

std::string get_page(int port, const std::string& target)
{
    tcp_client client(port);
    std::string request = "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    if (!client.send_bytes(bytes(request.begin(), request.end())))
        return {};
    bytes answer = client.receive(1 << 20, step_limit);
    return std::string(answer.begin(), answer.end());
}

} // namespace

TEST(Journey, ThePackagedProgramDrivesTheBoardAnswersTheLinkAndServesTheConsole)
{
    journey_rig rig;
    ASSERT_TRUE(wait_for_line(rig.log(), "Network Online", start_limit)) << rig.program->errors() << read_file(rig.log());
    ASSERT_TRUE(wait_for_line(rig.log(), "Serial - Online", step_limit)) << read_file(rig.log());

    // The port is open and the neutral command goes out ten times a second, nobody driving.
    ASSERT_TRUE(wait_until([&] { return rig.commands().size() >= 30; }, step_limit)) << read_file(rig.log());
    auto commands = rig.commands();
    for (const board_command_type& command : commands)
        ASSERT_TRUE(command.neutral()) << command.text();
    EXPECT_NEAR(median_command_interval(commands), 0.100, 0.02);

    // The operator link answers every control message, and forward targets reach the board as motor bytes.
    tcp_client client;
    ASSERT_TRUE(client.connected());
    size_t mark = rig.commands().size();
    auto moving_forward = [&] {
        auto now = rig.commands();
        return now.size() > mark && now.back().forward();
    };
    ASSERT_TRUE(wait_until([&] { return exchange(client, 48, 48) && moving_forward(); }, step_limit))
        << read_file(rig.log());
    ASSERT_TRUE(wait_until([&] { return exchange(client, 0, 0) && rig.commands().back().neutral(); }, step_limit));

    // The camera: the test source's pictures, as JPEG, on request.
    ASSERT_TRUE(wait_for_line(rig.log(), "Camera - Capture 320 x 240", start_limit)) << read_file(rig.log());
    int width = 0, height = 0;
    bytes jpeg = request_image(client, &width, &height);
    ASSERT_GT(jpeg.size(), 4u);
    EXPECT_EQ(width, 320);
    EXPECT_EQ(height, 240);
    EXPECT_EQ(jpeg[0], 0xFF);
    EXPECT_EQ(jpeg[1], 0xD8);
    EXPECT_EQ(jpeg[jpeg.size() - 2], 0xFF);
    EXPECT_EQ(jpeg[jpeg.size() - 1], 0xD9);

    // The web console serves its page to a holder of the token, and no one else.
    std::string page = get_page(rig.web_port, "/?token=" + web_token);
    EXPECT_EQ(page.rfind("HTTP/1.1 200", 0), 0u) << page.substr(0, 200);
    EXPECT_NE(page.find("<script>"), std::string::npos);
    EXPECT_EQ(get_page(rig.web_port, "/").rfind("HTTP/1.1 401", 0), 0u);

    // SIGTERM (what systemd sends) runs the normal shutdown: the board is left at standstill.
    rig.program->signal(SIGTERM);
    EXPECT_EQ(rig.program->wait(step_limit), 0) << rig.program->errors();
    EXPECT_EQ(count_lines_containing(rig.log(), "Network - Stop"), 1) << read_file(rig.log());
    EXPECT_TRUE(rig.commands().back().neutral()) << "the board is left moving";
    EXPECT_TRUE(client.closed_by_peer());
}
