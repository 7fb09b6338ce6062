// Recordings for the console: names are checked against the recorder's own pattern before any file is
// touched, so no request reaches outside the recording folder.
#include "web/web_recordings.h"

#include "record/recorder.h"

#include <cstdio>
#include <chrono>

namespace {

constexpr std::string_view prefix = "/recordings/";

std::string utc_text(int64_t ms)
{
    using namespace std::chrono;
    sys_time<milliseconds> time{milliseconds(ms)};
    sys_days day = floor<days>(time);
    year_month_day date{day};
    hh_mm_ss<milliseconds> clock{time - day};
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                  static_cast<int>(clock.hours().count()), static_cast<int>(clock.minutes().count()),
                  static_cast<int>(clock.seconds().count()), static_cast<int>(clock.subseconds().count()));
    return text;
}

} // namespace

bool web_recordings_target(std::string_view path)
{
    return path == "/recordings" || path.substr(0, prefix.size()) == prefix;
}

std::string web_recordings_json()
{
    std::string out = "[";
    for (const recording_type& recording : recorder_list()) {
        if (out.size() > 1)
            out += ",";
        // Names hold only the pattern's digits, dashes and letters: nothing to escape.
        out += "{\"name\":\"" + recording.name + "\",\"size\":" + std::to_string(recording.size) +
               ",\"modified\":\"" + utc_text(recording.modified_ms) + "\",\"open\":" +
               (recording.open ? "true" : "false") + "}";
    }
    return out + "]";
}

std::string web_recording_file(std::string_view path)
{
    if (path.substr(0, prefix.size()) != prefix)
        return "";
    std::string name(path.substr(prefix.size()));
    if (!recorder_name_valid(name))
        return "";
    for (const recording_type& recording : recorder_list())
        if (recording.name == name)
            return recorder_folder() + "/" + name;
    return "";
}
