// The folder or file named on the command line, and what the window opens for it.
#pragma once

#include <optional>
#include <string>

struct TStartPath {
    std::string Folder;    // absolute, no trailing separator (but "/")
    std::string FileName;  // the file to make current and view; empty for a folder
};

// A folder opens as it is; anything else opens its folder with itself current. A path that
// cannot be examined gives nothing and error says why: Cannot open "x". No such file or directory
std::optional<TStartPath> ResolveStartPath(const std::string& path, std::string& error);
