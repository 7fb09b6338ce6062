// One camera image: an image request goes out, the image message that answers it is saved as a JPEG.
#include "snapshot.h"

#include "connection.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

constexpr int snapshot_timeout_ms = 5000;

// Reads until an image has come; returns 0, or 1 with the reason in error.
int wait_image(int socket, protocol_reader_type* reader, std::string* error)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(snapshot_timeout_ms);
    std::vector<telemetry_message_type> replies;
    while (reader->completed_images.empty()) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            *error = "no image within 5 seconds (is camera_pipeline set in the robot's config.txt?)";
            return 1;
        }
        unsigned char buffer[65536];
        std::string failure;
        long count = connection_receive(socket, buffer, sizeof buffer, static_cast<int>(left.count()), &failure);
        if (count < 0) {
            *error = "connection lost: " + failure;
            return 1;
        }
        protocol_read(reader, buffer, static_cast<size_t>(count), &replies);
    }
    return 0;
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
    protocol_reader_type reader;
    reader.keep_images = true;
    const unsigned char request = protocol_image_request_type;
    auto sent = std::chrono::steady_clock::now();
    int result = connection_send(socket, &request, 1, &error);
    if (result == 0)
        result = wait_image(socket, &reader, &error);
    double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - sent).count();
    connection_close(socket);
    if (result == 0)
        result = snapshot_save(reader.completed_images.front(), options.snapshot_file, &error);
    if (result != 0) {
        std::fprintf(stderr, "quillon-operator: %s: %s\n", name.c_str(), error.c_str());
        return 1;
    }
    const protocol_picture_type& image = reader.completed_images.front();
    std::printf("%s: %zu bytes, %d x %d, %.1f ms\n", options.snapshot_file.c_str(), image.jpeg.size(), image.width,
                image.height, ms);
    return 0;
}
