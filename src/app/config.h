// The configuration file config.txt, read once at start-up into one record, which the shell hands piece
// by piece to the units it starts: the serial port, the cameras, the log, the operator link, the console,
// the live video, the recorder and the fleet link.
#pragma once

#include "fleet/fleet_config.h"
#include "platform/webrtc.h"
#include "record/recorder.h"
#include "web/web_server.h"

#include <string>

struct config_type {
    std::string serial_port;          // serial_port: a name under /dev/ or a full path, at most 255 characters
    int camera_number = 0;            // camera_number: the capture device "device" opens
    std::string camera_pipeline;      // camera_pipeline: empty, "device", "serial" or a source description
    bool log_camera_data = true;      // log_camera_data: the camera's packets go to the log as hex
    bool command_on_change = false;   // command_on_change: a command as soon as the motor bytes change
    std::string listen_address;       // listen_address: the operator link's one address, or every one
    web_config_type web;              // web_port, web_address, web_token, web_cert, web_key, web_origins
    webrtc_settings_type video;       // web_video_codec, web_video_encoder, web_video_kbps, web_stun, web_turn
    recorder_config_type record;      // record_folder, record_minutes, record_limit_mb, record_fps
    fleet_config_type fleet;          // mqtt_broker, robot_name, mqtt_user ... mqtt_keepalive
};

// Reads the file into config; a key it refuses is a message line and keeps its default. log_size_limit
// takes effect at once.
void load_config(const char* filename, config_type& config);
void parse_line(const char* line, config_type& config);
