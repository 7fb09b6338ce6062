// The simulated serial camera: an image every so often, cut into data messages that go out only while
// the line's queue is short, and the faults that break one image on demand.
#include "sim_camera.h"

#include "sim_view.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include <jpeglib.h>

namespace {

constexpr unsigned char camera_device = 8;
constexpr unsigned char code_size = 5;
constexpr unsigned char code_data = 6;
constexpr unsigned char code_message = 7;
constexpr int image_width = 160;
constexpr int image_height = 120;
constexpr size_t piece_size = 250;     // data bytes in one data message
constexpr size_t busy_line = 300;      // queued bytes above which the camera waits its turn
constexpr size_t largest_image = 65535;

enum class corruption_type { none, header, data };

struct sim_camera_type {
    bool enabled = true;
    double rate = 2.0;                  // images a second
    int quality = 75;
    double next_image = 0.0;            // when the next image may start
    std::vector<unsigned char> stream;  // what is being sent: the image, cut or lengthened by a fault
    size_t sent = 0;                    // bytes of stream sent so far
    bool sending = false;
    // Faults waiting for the next image.
    corruption_type corrupt = corruption_type::none;
    long truncate = -1;                 // bytes to keep, or -1
    long excess = 0;                    // bytes to send beyond the announced length
    unsigned long images = 0;
};

sim_camera_type camera;

bool whole_number(const std::string& text, long low, long high, long& value)
{
    char* end = nullptr;
    value = std::strtol(text.c_str(), &end, 0);
    return !text.empty() && end != nullptr && *end == 0 && value >= low && value <= high;
}

bool real_number(const std::string& text, double low, double high, double& value)
{
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return !text.empty() && end != nullptr && *end == 0 && value >= low && value <= high;
}

// A frame header whose sample precision no baseline decoder takes, or damaged scan data.
void corrupt_stream(std::vector<unsigned char>& stream, corruption_type how)
{
    if (how == corruption_type::header) {
        for (size_t i = 2; i + 4 < stream.size(); i++)
            if (stream[i] == 0xFF && stream[i + 1] == 0xC0) {
                stream[i + 4] = 12;
                return;
            }
    } else if (how == corruption_type::data && stream.size() > 200) {
        for (size_t i = stream.size() / 2; i < stream.size() / 2 + 48; i++)
            stream[i] ^= 0x5A;
    }
}

// Renders, compresses and applies the waiting faults; false (noted) when the image cannot be sent.
bool prepare_image(const sim_turn_type& turn, size_t& announced)
{
    camera.stream = sim_camera_picture(*turn.world, camera.quality);
    if (camera.stream.empty() || camera.stream.size() > largest_image) {
        turn.note(("camera image of " + std::to_string(camera.stream.size()) + " bytes not sent").c_str());
        return false;
    }
    corrupt_stream(camera.stream, camera.corrupt);
    if (camera.truncate >= 0 && static_cast<size_t>(camera.truncate) < camera.stream.size())
        camera.stream.resize(static_cast<size_t>(camera.truncate));
    announced = camera.stream.size();
    camera.stream.insert(camera.stream.end(), static_cast<size_t>(camera.excess), 0xEE);
    camera.corrupt = corruption_type::none;
    camera.truncate = -1;
    camera.excess = 0;
    return true;
}

void start_image(const sim_turn_type& turn)
{
    camera.next_image = turn.now + 1.0 / camera.rate;
    size_t announced = 0;
    if (!prepare_image(turn, announced))
        return;
    unsigned char size[3] = {code_size, static_cast<unsigned char>(announced >> 8), static_cast<unsigned char>(announced)};
    if (!turn.send(camera_device, size, sizeof size))
        return;
    camera.sent = 0;
    camera.sending = true;
    camera.images++;
}

// Data messages while the line is not busy; queued counts what this turn has added already.
void send_pieces(const sim_turn_type& turn, size_t queued)
{
    unsigned char payload[1 + piece_size];
    payload[0] = code_data;
    while (camera.sending && turn.queued + queued < busy_line) {
        size_t count = std::min(piece_size, camera.stream.size() - camera.sent);
        std::memcpy(payload + 1, camera.stream.data() + camera.sent, count);
        if (!turn.send(camera_device, payload, count + 1))
            return;
        queued += count + 4;
        camera.sent += count;
        camera.sending = camera.sent < camera.stream.size();
    }
}

} // namespace

std::vector<unsigned char> sim_camera_picture(const sim_world_type& world, int quality)
{
    std::vector<unsigned char> rgb;
    sim_view_render(world, image_width, image_height, rgb);
    // Mounted upside down, as the server's window expects: it shows a colour image turned through 180 degrees.
    for (size_t front = 0, back = rgb.size() - 3; front < back; front += 3, back -= 3)
        std::swap_ranges(rgb.begin() + static_cast<long>(front), rgb.begin() + static_cast<long>(front) + 3,
                         rgb.begin() + static_cast<long>(back));
    jpeg_compress_struct cinfo;
    jpeg_error_mgr error;
    cinfo.err = jpeg_std_error(&error);
    jpeg_create_compress(&cinfo);
    unsigned char* out = nullptr;
    unsigned long out_size = 0;
    jpeg_mem_dest(&cinfo, &out, &out_size);
    cinfo.image_width = image_width;
    cinfo.image_height = image_height;
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, quality, TRUE);
    jpeg_start_compress(&cinfo, TRUE);
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW row = rgb.data() + static_cast<size_t>(cinfo.next_scanline) * image_width * 3;
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    std::vector<unsigned char> jpeg(out, out + out_size);
    jpeg_destroy_compress(&cinfo);
    std::free(out);
    return jpeg;
}

int sim_camera_option(int argc, char** argv, int index)
{
    std::string option = argv[index];
    if (option == "--no-camera") {
        camera.enabled = false;
        return 1;
    }
    if (option != "--camera-rate" && option != "--camera-quality")
        return 0;
    long quality = 0;
    bool good = index + 1 < argc;
    if (good && option == "--camera-rate")
        good = real_number(argv[index + 1], 0.0, 100.0, camera.rate);
    else if (good)
        good = whole_number(argv[index + 1], 1, 100, quality);
    if (!good) {
        std::fprintf(stderr, "quillon-sim: bad or missing value for %s\n", option.c_str());
        return -1;
    }
    if (option == "--camera-quality")
        camera.quality = static_cast<int>(quality);
    return 2;
}

const char* sim_camera_help()
{
    return "\n"
           "The camera (device 8) renders the robot's view of the room as a 160 x 120 colour JPEG and sends it\n"
           "as a size message (05 HI LO) and data messages (06 and up to 250 bytes), a piece at a time while\n"
           "fewer than 300 bytes wait on the line. It is mounted upside down, as the server's window expects\n"
           "(that window shows colour images turned through 180 degrees).\n"
           "  --camera-rate HZ        images a second at most (default 2; 0 sends none)\n"
           "  --camera-quality Q      JPEG quality 1 to 100 (default 75)\n"
           "  --no-camera             no camera on the bus\n"
           "camera control lines: 'camera on', 'camera off', 'camera rate HZ'\n"
           "camera faults (for the next image unless said otherwise):\n"
           "  camera-message[:CODE]   a camera message 07 CODE now (default 42)\n"
           "  camera-corrupt[:data]   a frame header the decoder refuses (or damaged scan data)\n"
           "  camera-truncate[:BYTES] only the first BYTES (default half), announced as that long\n"
           "  camera-excess[:BYTES]   BYTES of data beyond the announced length (default 500)\n"
           "\n";
}

bool sim_camera_knows_fault(const std::string& name)
{
    return name == "camera-message" || name == "camera-corrupt" || name == "camera-truncate" ||
           name == "camera-excess";
}

bool sim_camera_fault(const std::string& name, const std::string& argument, const sim_turn_type& turn)
{
    long value = 0;
    if (name == "camera-message") {
        if (!argument.empty() && !whole_number(argument, 0, 255, value))
            return false;
        unsigned char payload[2] = {code_message, static_cast<unsigned char>(argument.empty() ? 42 : value)};
        return turn.send(camera_device, payload, sizeof payload);
    }
    if (name == "camera-corrupt" && (argument.empty() || argument == "header" || argument == "data")) {
        camera.corrupt = argument == "data" ? corruption_type::data : corruption_type::header;
        return true;
    }
    if (name == "camera-truncate" && (argument.empty() || whole_number(argument, 0, 65535, value))) {
        camera.truncate = argument.empty() ? static_cast<long>(sim_camera_picture(*turn.world, camera.quality).size() / 2)
                                           : value;
        return true;
    }
    if (name == "camera-excess" && (argument.empty() || whole_number(argument, 1, 1000000, value))) {
        camera.excess = argument.empty() ? 500 : value;
        return true;
    }
    return false;
}

bool sim_camera_control(const std::string& line, const sim_turn_type& turn)
{
    std::istringstream words(line);
    std::string command, setting;
    words >> command >> setting;
    if (command != "camera")
        return false;
    double rate = 0;
    std::string value;
    if (setting == "on" || setting == "off") {
        camera.enabled = setting == "on";
        camera.next_image = turn.now;
    } else if (setting == "rate" && (words >> value) && real_number(value, 0.0, 100.0, rate)) {
        camera.rate = rate;
        camera.next_image = turn.now;
    } else {
        std::fprintf(stderr, "quillon-sim: camera on|off or camera rate HZ (0 to 100): %s\n", line.c_str());
    }
    return true;
}

void sim_camera_turn(const sim_turn_type& turn)
{
    size_t queued = 0;
    if (!camera.sending) {
        if (!camera.enabled || camera.rate <= 0 || turn.now < camera.next_image || turn.queued >= busy_line ||
            turn.world == nullptr)
            return;
        start_image(turn);
        queued = 7;
    }
    send_pieces(turn, queued);
}
