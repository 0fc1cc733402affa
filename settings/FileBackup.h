#pragma once

#include <string>

// Keeps a malformed file that is about to be replaced: renames path to path + ".bak"
// (replacing an older backup) and logs it. False when the rename fails (errno set).
// Any thread.
bool KeepAsBackup(const std::string& path);
