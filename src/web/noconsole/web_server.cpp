// The web console for builds without Boost and OpenSSL (the Windows one): a configured web_port is
// reported as not served, and nothing else happens.
#include "web/web_server.h"
#include "web/web_video.h"

#include "services/message_lines.h"

void web_start(window_handle, const web_config_type& config)
{
    if (config.port != 0)
        add_line("Web console - not in this build: web_port %d is not served", config.port);
}

void web_stop() {}

bool web_running()
{
    return false;
}

std::string web_console_url()
{
    return std::string();
}

void web_publish_jpeg(const unsigned char*, size_t) {}

bool web_origins_key(const char*, const char*, web_config_type&)
{
    return false;
}

bool web_video_key(const char*, const char*, webrtc_settings_type&)
{
    return false;
}

void web_video_start(const webrtc_settings_type&) {}
void web_video_stop() {}
