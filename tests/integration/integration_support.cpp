// Running the real programs for integration tests.
#include "integration_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace integration {

temp_folder::temp_folder()
{
    std::string pattern = std::filesystem::temp_directory_path().string() + "/quillon-test-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back(0);
    if (mkdtemp(name.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    folder = name.data();
}

temp_folder::~temp_folder()
{
    if (std::getenv("QUILLON_KEEP_TEST_FOLDERS") == nullptr) {
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }
}

void temp_folder::write(const std::string& name, const std::string& content) const
{
    std::ofstream out(file(name), std::ios::binary);
    out << content;
}

process::process(const std::vector<std::string>& arguments, const std::string& working_folder,
                 const std::vector<std::string>& environment)
{
    static int counter = 0;
    std::string stem = working_folder + "/." + std::filesystem::path(arguments[0]).filename().string() + "-" +
                       std::to_string(counter++);
    out_file = stem + ".out";
    err_file = stem + ".err";
    child = fork();
    if (child == 0) {
        if (chdir(working_folder.c_str()) != 0)
            _exit(126);
        int out = open(out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = open(err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(out, 1);
        dup2(err, 2);
        int null = open("/dev/null", O_RDONLY);
        dup2(null, 0);
        for (const std::string& setting : environment)
            putenv(strdup(setting.c_str()));
        std::vector<char*> argv;
        for (const std::string& a : arguments)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
}

process::~process()
{
    if (running()) {
        kill(child, SIGKILL);
        wait(std::chrono::seconds(5));
    }
}

bool process::running()
{
    if (child <= 0 || ended)
        return false;
    if (waitpid(child, &status, WNOHANG) == child)
        ended = true;
    return !ended;
}

void process::signal(int number)
{
    if (running())
        kill(child, number);
}

int process::wait(std::chrono::milliseconds limit)
{
    if (!wait_until([this] { return !running(); }, limit))
        return -1;
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return -1;
}

std::string process::output() const
{
    return read_file(out_file);
}

std::string process::errors() const
{
    return read_file(err_file);
}

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> read_lines(const std::string& path)
{
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

int count_lines_containing(const std::string& path, const std::string& text)
{
    int count = 0;
    for (const std::string& line : read_lines(path))
        if (line.find(text) != std::string::npos)
            count++;
    return count;
}

bool wait_for_line(const std::string& path, const std::string& text, std::chrono::milliseconds limit)
{
    return wait_until([&] { return count_lines_containing(path, text) > 0; }, limit);
}

std::unique_ptr<process> start_quillon(const temp_folder& folder, const std::vector<std::string>& extra_arguments,
                                       const std::vector<std::string>& environment)
{
    std::vector<std::string> arguments{quillon_binary()};
    arguments.insert(arguments.end(), extra_arguments.begin(), extra_arguments.end());
    auto program = std::make_unique<process>(arguments, folder.path(), environment);
    std::string log = folder.file("log.txt");
    wait_until([&] {
        return count_lines_containing(log, "Network Online") + count_lines_containing(log, "Unable to") +
                   count_lines_containing(log, "Socket error") + count_lines_containing(log, "WSAAsyncSelect fail") >
               0 || !program->running();
    });
    return program;
}

virtual_display::virtual_display()
{
    if (access("/usr/bin/Xvfb", X_OK) != 0)
        return;
    folder = std::make_unique<temp_folder>();
    // -noreset: otherwise the server resets whenever its last client leaves (each xdotool a test runs), and
    // a program connecting in that moment is refused.
    std::vector<std::string> arguments{"/usr/bin/Xvfb", "-displayfd", "1", "-noreset",
                                       "-screen", "0", "1280x1024x24", "-nolisten", "tcp"};
    server = std::make_unique<process>(arguments, folder->path());
    std::string number;
    wait_until([&] {
        number = server->output();
        return !number.empty() && number.back() == '\n';
    });
    while (!number.empty() && (number.back() == '\n' || number.back() == ' '))
        number.pop_back();
    if (!number.empty())
        name = ":" + number;
}

virtual_display::~virtual_display()
{
    if (server) {
        server->signal(SIGTERM);
        server->wait(std::chrono::seconds(5));
    }
}

std::string virtual_display::run(const std::string& command) const
{
    std::string full = "DISPLAY=" + name + " " + command + " 2>/dev/null";
    std::string result;
    FILE* pipe = popen(full.c_str(), "r");
    if (pipe == nullptr)
        return result;
    char buffer[512];
    while (fgets(buffer, sizeof buffer, pipe) != nullptr)
        result += buffer;
    pclose(pipe);
    while (!result.empty() && (result.back() == '\n' || result.back() == ' '))
        result.pop_back();
    return result;
}

bool virtual_display::screenshot(const std::string& png_path) const
{
    run("import -window root " + png_path);
    return access(png_path.c_str(), R_OK) == 0;
}

tcp_client::tcp_client(int port)
{
    fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        fd = -1;
        return;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

tcp_client::~tcp_client()
{
    close();
}

void tcp_client::close()
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

bool tcp_client::send_bytes(const std::vector<unsigned char>& bytes)
{
    size_t sent = 0;
    while (fd >= 0 && sent < bytes.size()) {
        ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        sent += static_cast<size_t>(n);
    }
    return fd >= 0;
}

std::vector<unsigned char> tcp_client::receive(size_t count, std::chrono::milliseconds limit)
{
    std::vector<unsigned char> bytes;
    auto end = std::chrono::steady_clock::now() + limit;
    while (fd >= 0 && bytes.size() < count) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0)
            break;
        unsigned char buffer[4096];
        ssize_t n = ::recv(fd, buffer, std::min(sizeof buffer, count - bytes.size()), 0);
        if (n <= 0)
            break;
        bytes.insert(bytes.end(), buffer, buffer + n);
    }
    return bytes;
}

bool tcp_client::closed_by_peer(std::chrono::milliseconds limit)
{
    auto end = std::chrono::steady_clock::now() + limit;
    while (fd >= 0 && std::chrono::steady_clock::now() < end) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0)
            continue;
        unsigned char buffer[4096];
        ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            return true;
    }
    return false;
}

int free_port()
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    int port = 0;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), size) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0)
        port = ntohs(address.sin_port);
    if (fd >= 0)
        ::close(fd);
    return port;
}

bool wait_for_port(int port, std::chrono::milliseconds limit)
{
    return wait_until([port] {
        tcp_client probe(port);
        return probe.connected();
    }, limit);
}

std::vector<unsigned char> control_message(unsigned char flags, unsigned char left, unsigned char right,
                                           unsigned char aux1, unsigned char aux2)
{
    return {0x30, 0x00, flags, left, right, aux1, aux2, 0x00};
}

std::string quillon_binary()
{
    return QUILLON_BIN;
}

std::string sim_binary()
{
    return QUILLON_SIM_BIN;
}

std::string operator_binary()
{
    return QUILLON_OPERATOR_BIN;
}

std::string source_dir()
{
    return QUILLON_SOURCE_DIR;
}

broker::broker(const temp_folder& folder) : folder(folder), port(free_port())
{
    const char* user = getenv("USER");
    folder.write("mosquitto.conf", "user " + std::string(user != nullptr ? user : "root") + "\nlistener " +
                                       std::to_string(port) + " 127.0.0.1\nallow_anonymous true\npersistence false\n");
    start();
}

void broker::start()
{
    server = std::make_unique<process>(std::vector<std::string>{"/usr/sbin/mosquitto", "-c", folder.file("mosquitto.conf")},
                                       folder.path());
    wait_for_port(port, std::chrono::seconds(5));
}

bool broker::publish(const std::string& topic, const std::string& payload, bool retain) const
{
    std::string command = "mosquitto_pub -h 127.0.0.1 -p " + std::to_string(port) + (retain ? " -r" : "") + " -t '" +
                          topic + "' -m '" + payload + "'";
    return std::system(command.c_str()) == 0;
}

std::string broker::next_message(const std::string& topic, int seconds) const
{
    std::string out = folder.file("mosquitto_sub.out");
    std::string command = "mosquitto_sub -h 127.0.0.1 -p " + std::to_string(port) + " -C 1 -W " +
                          std::to_string(seconds) + " -t '" + topic + "' > '" + out + "' 2>/dev/null";
    if (std::system(command.c_str()) != 0)
        return std::string();
    return read_file(out);
}

} // namespace integration
