#pragma once

#include <filesystem>
#include <string>
#include <vector>

// The log file the calls below read by default: the one the current test's logger
// writes (Sandbox sets it). Reading with none set fails the test. Test thread.
void SetLogFilePath(const std::filesystem::path& path);

// The messages of the log file (path, else the one set above) without their time
// stamps, in file order (a message ending in its own CR LF keeps it). Fails the
// current test when a line is not "YYYY-MM-DD HH:MM:SS message\r\n".
std::vector<std::string> ReadLogMessages(const std::filesystem::path& path = {});

// Whether some message of the log file equals text.
bool LogHas(const std::string& text);

// How many messages of the log file equal text; how many contain it.
std::size_t CountLog(const std::string& text);
std::size_t CountLogContaining(const std::string& text);

// The last message of the log file, "" when there is none.
std::string LastLogMessage();
