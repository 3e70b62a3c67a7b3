#include "start_path.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "exceptions.h"

std::optional<TStartPath> ResolveStartPath(const std::string& path, std::string& error) {
    struct stat st {};
    if (path.empty() || ::stat(path.c_str(), &st) != 0) {
        const int code = path.empty() ? ENOENT : errno;
        error = Format("Cannot open \"%s\". %s", path, std::strerror(code));
        return std::nullopt;
    }
    std::filesystem::path full = std::filesystem::absolute(path).lexically_normal();
    if (full.has_relative_path() && !full.has_filename()) full = full.parent_path();  // "a/b/" -> "a/b"
    TStartPath start;
    if (S_ISDIR(st.st_mode)) {
        start.Folder = full.string();
    } else {
        start.Folder = full.parent_path().string();
        start.FileName = full.filename().string();
    }
    return start;
}
