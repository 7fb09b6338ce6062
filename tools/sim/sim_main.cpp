// quillon-sim: the robot's electronics on a pseudo-terminal, for the demo and the integration tests. The
// main loop moves the world, sends telemetry, lets the camera take its turn, writes the line and waits for
// the next thing to do: bytes from the server, a control line, a signal or the next due time.
#include "sim_board.h"
#include "sim_camera.h"
#include "sim_control.h"
#include "sim_faults.h"
#include "sim_link.h"
#include "sim_options.h"
#include "sim_record.h"
#include "sim_world.h"

#include <poll.h>
#include <signal.h>
#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr double physics_step = 0.01;  // the world moves at least this often

volatile sig_atomic_t end_signal = 0;

void on_end_signal(int)
{
    end_signal = 1;
}

struct sim_run_type {
    sim_options_type options;
    sim_link_type link;
    sim_board_type board;
    sim_world_type world;
    sim_record_type record;
    sim_control_type input;       // standard input
    sim_control_type fifo;        // the --control FIFO
    std::vector<bool> faults_done;
    double start = 0.0;
    double last_step = 0.0;
    bool running = true;
};

double clock_now()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

double elapsed(const sim_run_type& run)
{
    return clock_now() - run.start;
}

sim_turn_type make_turn(sim_run_type& run, double now)
{
    sim_turn_type turn;
    turn.world = &run.world;
    turn.now = now;
    turn.paced = run.link.paced;
    turn.queued = sim_link_queued(run.link);
    turn.send = [&run](unsigned char device, const unsigned char* payload, size_t length) {
        return sim_link_is_open(run.link) && sim_link_send(run.link, device, payload, length);
    };
    turn.send_raw = [&run](const unsigned char* bytes, size_t length) {
        return sim_link_is_open(run.link) && sim_link_send_raw(run.link, bytes, length);
    };
    turn.note = [&run, now](const char* text) { sim_record_note(run.record, now, text); };
    return turn;
}

void inject(sim_run_type& run, const sim_fault_type& fault, double now)
{
    std::string error;
    bool done = false;
    if (sim_fault_known(fault.name)) {
        unsigned char telemetry[sim_board_telemetry_length];
        sim_board_telemetry(run.world, telemetry);
        done = sim_link_is_open(run.link) && sim_fault_inject(run.link, fault, telemetry, error);
    } else {
        done = sim_camera_fault(fault.name, fault.argument, make_turn(run, now));
        if (!done)
            error = "unknown fault '" + fault.name + "'";
    }
    std::string text = "fault " + fault.name + (fault.argument.empty() ? "" : " " + fault.argument);
    if (!done) {
        std::fprintf(stderr, "quillon-sim: %s: %s\n", text.c_str(), error.empty() ? "the port is closed" : error.c_str());
        return;
    }
    sim_record_note(run.record, now, text);
    std::printf("%s at %.6f\n", text.c_str(), now);
}

void status(sim_run_type& run, double now)
{
    unsigned char telemetry[sim_board_telemetry_length];
    sim_board_telemetry(run.world, telemetry);
    std::printf("status t=%.3f x=%.3f y=%.3f heading=%.1f left=%02X right=%02X commands=%lu refused=%lu "
                "dropped=%lu telemetry=%02X%02X%02X port=%s\n",
                now, run.world.x, run.world.y, run.world.heading * 180.0 / M_PI, run.board.left_byte,
                run.board.right_byte, run.board.commands, run.board.refused, run.link.dropped, telemetry[0],
                telemetry[1], telemetry[2], sim_link_is_open(run.link) ? "open" : "closed");
}

void hang_up(sim_run_type& run, double now, const char* why)
{
    if (!sim_link_is_open(run.link))
        return;
    sim_link_close(run.link);
    sim_record_note(run.record, now, why);
    std::printf("%s at %.6f\n", why, now);
}

void control_line(sim_run_type& run, const std::string& line, double now)
{
    std::istringstream words(line);
    std::string command;
    words >> command;
    if (command.empty())
        return;
    if (command == "fault") {
        sim_fault_type fault;
        words >> fault.name;
        std::getline(words >> std::ws, fault.argument);
        inject(run, fault, now);
    } else if (command == "pose") {
        double x = 0, y = 0, heading = 0;
        if (!(words >> x >> y >> heading) || !sim_world_place(run.world, x, y, heading))
            std::fprintf(stderr, "quillon-sim: pose needs X Y DEG inside the room: %s\n", line.c_str());
    } else if (command == "telemetry") {
        std::string setting;
        words >> setting;
        run.board.telemetry_rate = setting == "off" ? 0.0 : run.options.rate;
        run.board.next_telemetry = now;
    } else if (command == "rate") {
        double rate = -1;
        if ((words >> rate) && rate >= 0 && rate <= 1000) {
            run.options.rate = rate;
            run.board.telemetry_rate = rate;
            run.board.next_telemetry = now;
        } else {
            std::fprintf(stderr, "quillon-sim: rate needs 0 to 1000: %s\n", line.c_str());
        }
    } else if (command == "status") {
        status(run, now);
    } else if (command == "hangup") {
        hang_up(run, now, "hangup");
    } else if (command == "quit") {
        run.running = false;
    } else if (!sim_camera_control(line, make_turn(run, now))) {
        std::fprintf(stderr, "quillon-sim: unknown control line: %s\n", line.c_str());
    }
}

void read_controls(sim_run_type& run, sim_control_type& control, double now)
{
    std::vector<std::string> lines;
    bool open = sim_control_read(control, lines);
    for (const std::string& line : lines)
        control_line(run, line, now);
    if (!open && control.ends_sim)
        run.running = false;
}

void take_packets(sim_run_type& run, double now)
{
    sim_packet_type packet;
    for (;;) {
        unsigned long skipped_before = run.link.skipped;
        bool got = sim_link_next_packet(run.link, now, packet);
        if (run.link.skipped != skipped_before || (got && run.link.skipped > 0)) {
            sim_record_note(run.record, now, "skipped " + std::to_string(run.link.skipped) + " bytes");
            run.link.skipped = 0;
        }
        if (!got)
            return;
        sim_record_packet(run.record, now, packet.bytes.data(), packet.bytes.size());
        if (packet.device != sim_board_device)
            sim_record_note(run.record, now, "packet for device " + std::to_string(packet.device) + " ignored");
        else if (!sim_board_command(run.board, packet.payload(), packet.payload_length(), now))
            sim_record_note(run.record, now, "device-1 packet of " + std::to_string(packet.payload_length()) +
                                                 " payload bytes refused");
    }
}

// Everything that falls due at this moment: faults, motion, telemetry, the camera, the line.
void run_turn(sim_run_type& run, double now)
{
    for (size_t i = 0; i < run.options.faults.size(); i++)
        if (!run.faults_done[i] && now >= run.options.faults[i].at) {
            run.faults_done[i] = true;
            inject(run, run.options.faults[i], now);
        }
    sim_board_drive(run.board, run.world, now);
    for (double dt = now - run.last_step; dt > 1e-9; dt -= physics_step)
        sim_world_step(run.world, std::min(dt, physics_step));
    run.last_step = now;
    if (sim_board_telemetry_due(run.board, now) && sim_link_is_open(run.link)) {
        unsigned char telemetry[sim_board_telemetry_length];
        sim_board_telemetry(run.world, telemetry);
        sim_link_send(run.link, sim_board_device, telemetry, sizeof telemetry);
    }
    sim_camera_turn(make_turn(run, now));
    take_packets(run, now);  // drops a partial packet that has gone stale
    // A fresh reading: the camera's turn may have taken a while, and the pace counts from the real time.
    double write_time = elapsed(run);
    if (sim_link_is_open(run.link) && !sim_link_write(run.link, write_time))
        hang_up(run, write_time, "the line failed on writing");
}

double next_due(const sim_run_type& run, double now)
{
    double due = now + physics_step;
    if (run.board.telemetry_rate > 0)
        due = std::min(due, run.board.next_telemetry);
    due = std::min(due, sim_link_next_due(run.link, now));
    for (size_t i = 0; i < run.options.faults.size(); i++)
        if (!run.faults_done[i])
            due = std::min(due, run.options.faults[i].at);
    if (run.options.duration > 0)
        due = std::min(due, run.options.duration);
    return std::max(due, now);
}

void wait_and_read(sim_run_type& run, const sigset_t& wait_mask)
{
    double now = elapsed(run);
    double wait = next_due(run, now) - now;
    pollfd fds[3] = {{run.link.master, sim_link_poll_events(run.link, now), 0},
                     {run.input.fd, POLLIN, 0},
                     {run.fifo.fd, POLLIN, 0}};
    timespec timeout{static_cast<time_t>(wait), static_cast<long>((wait - std::floor(wait)) * 1e9)};
    if (ppoll(fds, 3, &timeout, &wait_mask) <= 0)
        return;
    now = elapsed(run);
    if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
        if (!sim_link_read(run.link, now))
            hang_up(run, now, "the line failed on reading");
        take_packets(run, now);
    }
    if (fds[1].revents)
        read_controls(run, run.input, now);
    if (fds[2].revents)
        read_controls(run, run.fifo, now);
}

bool write_config(const std::string& folder, const std::string& port)
{
    std::string path = folder + "/config.txt";
    FILE* file = std::fopen(path.c_str(), "w");
    if (file == nullptr)
        return false;
    std::fprintf(file, "serial_port %s\n", port.c_str());
    return std::fclose(file) == 0;
}

// Opens everything the options ask for; false (message printed) when something cannot be opened.
bool set_up(sim_run_type& run)
{
    std::string error;
    if (!sim_link_open(run.link, error)) {
        std::fprintf(stderr, "quillon-sim: %s\n", error.c_str());
        return false;
    }
    run.link.paced = run.options.baud_pace;
    if (!run.options.record.empty() && !sim_record_open(run.record, run.options.record)) {
        std::fprintf(stderr, "quillon-sim: cannot write %s\n", run.options.record.c_str());
        return false;
    }
    if (!run.options.control.empty() && !sim_control_open_fifo(run.fifo, run.options.control, error)) {
        std::fprintf(stderr, "quillon-sim: %s\n", error.c_str());
        return false;
    }
    if (!run.options.write_config.empty() && !write_config(run.options.write_config, run.link.name)) {
        std::fprintf(stderr, "quillon-sim: cannot write %s/config.txt\n", run.options.write_config.c_str());
        return false;
    }
    if (run.options.use_stdin)
        sim_control_open_stdin(run.input);
    run.world = sim_world_make();
    if (run.options.pose_set && !sim_world_place(run.world, run.options.x, run.options.y, run.options.heading)) {
        std::fprintf(stderr, "quillon-sim: the pose is not inside the room\n");
        return false;
    }
    run.board.telemetry_rate = run.options.rate;
    run.faults_done.assign(run.options.faults.size(), false);
    return true;
}

void tear_down(sim_run_type& run)
{
    sim_link_close(run.link);
    sim_record_close(run.record);
    sim_control_close(run.fifo);
    sim_control_close(run.input);
    if (!run.options.quiet)
        std::fprintf(stderr, "quillon-sim: %lu commands, %lu refused, %lu packets dropped\n", run.board.commands,
                     run.board.refused, run.link.dropped);
}

} // namespace

int main(int argc, char** argv)
{
    sim_run_type run;
    int parsed = sim_options_parse(argc, argv, run.options);
    if (parsed != 0)
        return parsed == 1 ? 0 : 2;
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    signal(SIGPIPE, SIG_IGN);
    // The end signals are held back except inside ppoll, so none can slip in between a check and the wait.
    sigset_t blocked, wait_mask;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGINT);
    sigaddset(&blocked, SIGTERM);
    sigprocmask(SIG_BLOCK, &blocked, &wait_mask);
    sigdelset(&wait_mask, SIGINT);
    sigdelset(&wait_mask, SIGTERM);
    struct sigaction action {};
    action.sa_handler = on_end_signal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    bool ready = set_up(run);
    if (ready) {
        std::printf("serial_port %s\n", run.link.name.c_str());
        if (!run.options.quiet)
            std::fprintf(stderr, "quillon-sim: the robot is on /dev/%s; put 'serial_port %s' in config.txt\n",
                         run.link.name.c_str(), run.link.name.c_str());
        run.start = clock_now();
        while (run.running && !end_signal) {
            double now = elapsed(run);
            if (run.options.duration > 0 && now >= run.options.duration)
                break;
            run_turn(run, now);
            wait_and_read(run, wait_mask);
        }
    }
    tear_down(run);
    return ready ? 0 : 1;
}
