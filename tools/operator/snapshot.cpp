// One camera image: an image request goes out, the image message that answers it is saved as a JPEG.
#include "snapshot.h"

#include "connection.h"
#include "replies.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace {

constexpr int snapshot_timeout_ms = 5000;

// Reads until an image has come; returns 0, or 1 with the reason in error.
int wait_image(int socket, replies_type* replies, std::string* error)
{
    const auto& images = replies->reader.completed_images;
    int result = replies_read_until(replies, socket, snapshot_timeout_ms, [&] { return !images.empty(); }, error);
    if (result == 2)
        *error = "no image within 5 seconds (is camera_pipeline set in the robot's config.txt?)";
    return result == 0 ? 0 : 1;
}

} // namespace

int snapshot_save(const protocol_picture_type& image, const std::string& file, std::string* error)
{
    FILE* out = std::fopen(file.c_str(), "wb");
    if (out == nullptr) {
        *error = "cannot write " + file + ": " + std::strerror(errno);
        return 1;
    }
    size_t written = std::fwrite(image.jpeg.data(), 1, image.jpeg.size(), out);
    bool closed = std::fclose(out) == 0;
    if (written != image.jpeg.size() || !closed) {
        *error = "cannot write " + file + ": " + std::strerror(errno);
        return 1;
    }
    return 0;
}

int snapshot_run(const options_type& options)
{
    std::string name = connection_name(options.host, options.port);
    std::string error;
    int socket = connection_open_or_say(options.host, options.port);
    if (socket < 0)
        return 1;
    replies_type replies;
    replies.reader.keep_images = true;
    const unsigned char request = protocol_image_request_type;
    auto sent = std::chrono::steady_clock::now();
    int result = connection_send(socket, &request, 1, &error);
    if (result == 0)
        result = wait_image(socket, &replies, &error);
    double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - sent).count();
    connection_close(socket);
    if (result == 0)
        result = snapshot_save(replies.reader.completed_images.front(), options.snapshot_file, &error);
    if (result != 0) {
        std::fprintf(stderr, "quillon-operator: %s: %s\n", name.c_str(), error.c_str());
        return 1;
    }
    const protocol_picture_type& image = replies.reader.completed_images.front();
    std::printf("%s: %zu bytes, %d x %d, %.1f ms\n", options.snapshot_file.c_str(), image.jpeg.size(), image.width,
                image.height, ms);
    return 0;
}
