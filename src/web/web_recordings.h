// The console's list of flight recordings and their downloads, served behind the same token as the page.
#pragma once

#include <string>
#include <string_view>

// True for the paths this unit answers: "/recordings" and "/recordings/<name>".
bool web_recordings_target(std::string_view path);
// The list, oldest first: [{"name":..,"size":..,"modified":"2026-12-08T18:15:00.123Z","open":false},..]
std::string web_recordings_json();
// The file to send for "/recordings/<name>", or "" when no recording of that name is there.
std::string web_recording_file(std::string_view path);
