#include "app_settings.h"

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <system_error>

TAppSettings ReadAppSettings(const TIniFile& ini) {
    TAppSettings s;
    s.LoadAll = ini.ReadBool(SettingsSection, SettingLoadAll, false);
    if (ini.ValueExists(SettingsSection, SettingPath)) s.Path = ini.ReadString(SettingsSection, SettingPath, "");
    return s;
}

void WriteAppSettings(TIniFile& ini, bool loadAll, const std::string& path) {
    ini.WriteBool(SettingsSection, SettingLoadAll, loadAll);
    ini.WriteString(SettingsSection, SettingPath, path);
}

bool FolderIsWritable(const std::string& folder) {
    // The atomic write puts a temporary file beside the settings and renames it: both need
    // the right to create entries in the folder, whatever the old file's own mode is.
    return !folder.empty() && ::access(folder.c_str(), W_OK | X_OK) == 0;
}

std::string SettingsFilePath(const std::string& appDirectory, const std::string& configHome) {
    if (FolderIsWritable(appDirectory)) return appDirectory + SettingsFileName;
    return (std::filesystem::path(configHome) / "pictolan" / SettingsFileName).string();
}

void EnsureSettingsFolder(const std::string& settingsFile) {
    std::error_code ignored;
    std::filesystem::create_directories(std::filesystem::path(settingsFile).parent_path(), ignored);
}

namespace {

// Far beyond any screen; keeps the arithmetic below clear of overflow.
constexpr int32_t MaxCoordinate = 1 << 20;
constexpr int32_t MinWidth = 200;
constexpr int32_t MinHeight = 150;

int32_t ReadBounded(const TIniFile& ini, const char* key, int32_t def, int32_t low, int32_t high) {
    const int32_t v = ini.ReadInteger(WindowSection, key, def);
    return v < low || v > high ? def : v;
}

}  // namespace

TWindowPlacement ReadWindowPlacement(const TIniFile& ini) {
    TWindowPlacement p;
    p.Left = ReadBounded(ini, "Left", p.Left, -MaxCoordinate, MaxCoordinate);
    p.Top = ReadBounded(ini, "Top", p.Top, -MaxCoordinate, MaxCoordinate);
    p.Width = ReadBounded(ini, "Width", p.Width, MinWidth, MaxCoordinate);
    p.Height = ReadBounded(ini, "Height", p.Height, MinHeight, MaxCoordinate);
    p.Maximized = ini.ReadBool(WindowSection, "Maximized", p.Maximized);
    p.TreeWidth = ReadBounded(ini, "TreeWidth", p.TreeWidth, 0, MaxCoordinate);
    return p;
}

void WriteWindowPlacement(TIniFile& ini, const TWindowPlacement& p) {
    ini.WriteInteger(WindowSection, "Left", p.Left);
    ini.WriteInteger(WindowSection, "Top", p.Top);
    ini.WriteInteger(WindowSection, "Width", p.Width);
    ini.WriteInteger(WindowSection, "Height", p.Height);
    ini.WriteBool(WindowSection, "Maximized", p.Maximized);
    ini.WriteInteger(WindowSection, "TreeWidth", p.TreeWidth);
}

TWindowPlacement FitPlacementToScreen(TWindowPlacement p, const TRect& available) {
    if (available.Width() <= 0 || available.Height() <= 0) return p;
    if (p.Width > available.Width() || p.Height > available.Height()) {
        p.Width = std::min(p.Width, available.Width());
        p.Height = std::min(p.Height, available.Height());
        p.Maximized = true;
    }
    p.Left = std::clamp(p.Left, available.Left, available.Right - p.Width);
    p.Top = std::clamp(p.Top, available.Top, available.Bottom - p.Height);
    return p;
}
