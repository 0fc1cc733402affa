#pragma once

#include <string>
#include <vector>

// The messages of ./log.txt without their time stamps, in file order (a message
// ending in its own CR LF keeps it). Fails the current test when a line is not
// "YYYY-MM-DD HH:MM:SS message\r\n".
std::vector<std::string> ReadLogMessages(const std::string& path = "log.txt");

// Whether some message of ./log.txt equals text.
bool LogHas(const std::string& text);

// The last message of ./log.txt, "" when there is none.
std::string LastLogMessage();
