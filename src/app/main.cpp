// The main window's message table, the start-up and shutdown sequences and the timer work.
#include "app/main.h"

#include "app/config.h"
#include "app/scheduler.h"
#include "services/time.h"
#include "services/log.h"
#include "bus/controller.h"
#include "bus/serial.h"
#include "console/display.h"
#include "console/input.h"
#include "console/joystick.h"
#include "fleet/fleet.h"
#include "imaging/camera.h"
#include "imaging/serialcamera.h"
#include "net/network.h"
#include "platform/event_loop.h"
#include "platform/messages.h"
#include "record/recorder.h"
#include "robot/drivers.h"
#include "robot/motion.h"
#include "robot/robot.h"
#include "robot/snapshot.h"
#include "platform/capture.h"
#include "web/web_server.h"
#include "web/web_video.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

window_handle main_win = nullptr;

namespace {

constexpr unsigned int fast_timer = 1;   // 10 ms: it runs the table of periodic work

// The periodic work, in the order a tick runs it.
const std::vector<scheduler_task_type> periodic_work = {
    {"operator link: its backlog, a cut client, a paused accept", 0.01, network_check},
    {"fleet link: telemetry, message lines, pictures", 0.01, fleet_check},
    {"joystick", 0.01, [](double) { joystick_check(); }},
    {"motion: the deadman, the link's silence, the speed ramp", 0.01, motion_check},
    {"status display", 0.01, [](double) {
         update_display(main_win);
         window_invalidate(main_win);
     }},
    {"bus: the end of a flush", 0.11, [](double now) { serial.check(now); }},
    {"rates: image requests and controller packets a second", 1.0, [](double) {
         camera.update();
         robot.update();
     }},
};

struct shell_type {
    config_type config;                          // config.txt as read at start-up
    std::unique_ptr<scheduler_class> scheduler;  // the periodic work, from the first tick on
};

shell_type shell;

const char* usage_text =
    "usage: quillon [--headless]\n"
    "  --headless   run without windows (also chosen when no display is available)\n"
    "Reads config.txt and writes log.txt in the working directory; the operator link listens on TCP port 32459.\n";

// Returns 0 to run, 1 to exit successfully (help), 2 for bad arguments.
int parse_arguments(int argc, char** argv, bool* headless)
{
    for (int i = 1; i < argc; i++) {
        if (std::strcmp(argv[i], "--headless") == 0) {
            *headless = true;
        } else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(usage_text, stdout);
            return 1;
        } else {
            std::fprintf(stderr, "quillon: unknown option '%s'\n%s", argv[i], usage_text);
            return 2;
        }
    }
    return 0;
}

// The robot's side: the bus port's table of devices, the controller exchange and the serial camera. The
// camera is made even when the port did not open.
void start_devices()
{
    serial.set_device_handler(device_id, controller_data);
    serial.set_device_handler(serial_camera_device, serial_camera_data);
    serial.set_device_handler(serial_text_device, serial_text_line);
    std::snprintf(serial.port_name, sizeof serial.port_name, "%s", shell.config.serial_port.c_str());
    controller_start(shell.config.command_on_change);
    serial_camera_start("Left", serial_camera_device, 0, shell.config.log_camera_data);
    // The operator link's image requests and the camera's image messages meet here.
    camera.set_image_sender(network_send);
    network_set_image_requests([] { camera.request_image(); });
}

void stop_devices()
{
    log_write("Robot - Stop");
    // The reading thread may still hand device-8 packets over until controller_stop has ended it; the
    // camera's lock lets it find either the whole camera or none.
    serial_camera_stop();
    controller_stop();
}

} // namespace

int WinMain(int argc, char** argv)
{
    bool headless = false;
    int arguments = parse_arguments(argc, argv, &headless);
    if (arguments != 0)
        return arguments == 1 ? 0 : 2;
    // Only a run that goes ahead replaces the log of the one before.
    log_start("log.txt");
    bool windows = window_system_start(headless);
    if (!windows && !headless)
        log_write("Window - No display (%s); running headless", window_system_problem().c_str());
    if (!window_register_class({"Quillon", WinProc}))
        return 0;
    window_handle window = window_create("Quillon", "Quillon", 200, 200, display_x, display_y, nullptr);
    if (windows && !window_system_problem().empty())
        log_write("Window - %s", window_system_problem().c_str());
    window_show(window);
    window_invalidate(window);
    int exit_code = event_loop_run();
    window_system_stop();
    return exit_code;
}

long WinProc(window_handle window, unsigned int message, uintptr_t wparam, intptr_t lparam)
{
    switch (message) {
    case WM_CREATE:
        system_start(window);
        setup_display(window);
        return 0;
    case WM_DESTROY:
        system_stop();
        return 0;
    case WM_SIZE:
        resize_display(window, static_cast<long>(lparam));
        return 0;
    case WM_KILLFOCUS:
        input_lose_focus();
        return 0;
    case WM_PAINT:
        do_paint(window);
        return 0;
    case WM_KEYDOWN:
        input_key_down(static_cast<unsigned int>(wparam), static_cast<long>(lparam));
        return 0;
    case WM_KEYUP:
        input_key_up(static_cast<unsigned int>(wparam));
        return 0;
    case WM_CHAR:
        if (wparam == 27)
            window_destroy(window);
        else if (wparam == 99)
            camera.setup_camera(window, true);
        return 0;
    case WM_TIMER:
        timer_message(window, static_cast<unsigned int>(wparam));
        return 0;
    case WM_SOCKET:
        network_message(wparam, lparam);
        return 0;
    case WM_DRIVERS:
        motion_apply(get_time());
        return 0;
    default:
        return window_default_proc(window, message, wparam, lparam);
    }
}

void system_start(window_handle window)
{
    main_win = window;
    display_start();
    // The configuration comes before the link, which listens where it says.
    load_config("config.txt", shell.config);
    camera.camera_pipeline = shell.config.camera_pipeline;
    camera.camera_number = shell.config.camera_number;
    drivers_start(main_win);
    network_start(main_win, shell.config.listen_address);
    // After the link, and after the configuration that says whether the console is wanted at all.
    web_start(main_win, shell.config.web);
    fleet_start(shell.config.fleet);  // after the console, whose address its status tells
    joystick_start();
    start_devices();
    camera.start_capture(window);  // after the robot: the serial camera may be its source
    // The shown camera, everywhere the robot's picture is told: a capture when one runs, else the serial camera.
    robot_snapshot_camera([](double* rate) {
        if (camera.capture == nullptr)
            return robot.get_camera_rate(rate);
        *rate = capture_format(camera.capture).frame_rate;
        return true;
    });
    web_video_start(shell.config.video);   // after the capture it sends
    recorder_start(shell.config.record);    // after the robot and the camera, whose data it records
    shell.scheduler = std::make_unique<scheduler_class>(periodic_work, get_time());
    event_loop_set_timer(window, fast_timer, 10);
}

void system_stop()
{
    recorder_stop();   // first: it reads the robot and watches the camera
    web_video_stop();  // before the capture it sends closes
    camera.stop();     // its thread sends on the link and reads the robot's serial camera
    stop_devices();
    fleet_stop();
    web_stop();
    network_stop();
    log_stop();
    event_loop_post_quit(0);
}

void timer_message(window_handle, unsigned int timer_id)
{
    if (timer_id == fast_timer && shell.scheduler)
        shell.scheduler->run(get_time());
}
