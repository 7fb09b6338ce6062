// Cost of compressing one camera frame into an image message, and the JPEG size against the buffer the
// camera service gives it (width x height x 8 bytes). Prints figures; never fails.
#include "imaging/compress.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <vector>

namespace {

// A frame with smooth areas and some fine detail, closer to a camera picture than noise or a flat fill.
std::vector<unsigned char> test_frame(int width, int height)
{
    std::vector<unsigned char> frame(static_cast<std::size_t>(width) * height * 4);
    unsigned int seed = 1;
    for (int y = 0; y < height; y++)
        for (int x = 0; x < width; x++) {
            seed = seed * 1103515245u + 12345u;
            unsigned char* pixel = &frame[(static_cast<std::size_t>(y) * width + x) * 4];
            pixel[0] = static_cast<unsigned char>(x * 255 / width);
            pixel[1] = static_cast<unsigned char>(y * 255 / height);
            pixel[2] = static_cast<unsigned char>(((x / 16 + y / 16) % 2) * 120 + (seed >> 28));
            pixel[3] = 0;
        }
    return frame;
}

void compress_frame_bench(benchmark::State& state)
{
    int width = static_cast<int>(state.range(0));
    int height = static_cast<int>(state.range(1));
    std::vector<unsigned char> frame = test_frame(width, height);
    std::vector<unsigned char> transcode(frame.size());
    std::vector<unsigned char> message(frame.size() * 2);
    unsigned int jpeg_size = 0;
    for (auto _ : state) {
        bool made = compress_frame(frame.data(), message.data() + image_header_size, transcode.data(),
                                   static_cast<int>(message.size() - image_header_size), &jpeg_size, width, height);
        benchmark::DoNotOptimize(made);
        image_message_header(message.data(), width, height, jpeg_size);
    }
    state.counters["jpeg_bytes"] = jpeg_size;
    state.counters["buffer_share"] = static_cast<double>(jpeg_size + image_header_size) / message.size();
    state.counters["frames_per_s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

} // namespace

BENCHMARK(compress_frame_bench)->Args({160, 120})->Args({320, 240})->Args({640, 480})->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
