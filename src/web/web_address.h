// The console's address as the person at the robot needs it: the PC's IPv4 addresses (a phone cannot
// resolve the PC's name), with the token for the status display and without it for the log.
#pragma once

#include <string>
#include <vector>

// The addresses a browser can open: one per IPv4 address of the PC when the console listens on every
// interface ("localhost" when the PC has none), else the one address it listens on. Each ends in "/".
std::vector<std::string> web_address_urls(const std::string& listening, bool tls, int port,
                                          const std::vector<std::string>& local_addresses);

// The log's line: the addresses and where the token is kept, never the token itself (others may read
// the log). token_place is for example "web_token.txt".
std::string web_address_log_line(const std::vector<std::string>& urls, const std::string& token_place);

// The status display's lines: each address with its token, at most `most` of them.
std::vector<std::string> web_address_display_lines(const std::vector<std::string>& urls, const std::string& token,
                                                   size_t most);
