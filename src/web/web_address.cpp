// The console's address in the log and on the status display.
#include "web/web_address.h"

#include <cstdio>

std::vector<std::string> web_address_urls(const std::string& listening, bool tls, int port,
                                          const std::vector<std::string>& local_addresses)
{
    std::vector<std::string> hosts;
    if (listening.empty() || listening == "0.0.0.0")
        hosts = local_addresses;
    else
        hosts.push_back(listening.find(':') != std::string::npos ? "[" + listening + "]" : listening);
    if (hosts.empty())
        hosts.push_back("localhost");
    std::vector<std::string> urls;
    for (const std::string& host : hosts)
        urls.push_back(std::string(tls ? "https" : "http") + "://" + host + ":" + std::to_string(port) + "/");
    return urls;
}

std::string web_address_log_line(const std::vector<std::string>& urls, const std::string& token_place)
{
    std::string joined;
    for (size_t i = 0; i < urls.size(); i++)
        joined += (i == 0 ? "" : " or ") + urls[i];
    std::vector<char> line(joined.size() + token_place.size() + 64);
    std::snprintf(line.data(), line.size(), "Web console: %s (the token is in %s)", joined.c_str(), token_place.c_str());
    return line.data();
}

std::vector<std::string> web_address_display_lines(const std::vector<std::string>& urls, const std::string& token,
                                                   size_t most)
{
    std::vector<std::string> lines;
    for (size_t i = 0; i < urls.size() && i < most; i++)
        lines.push_back("Web console: " + urls[i] + "?token=" + token);
    return lines;
}
