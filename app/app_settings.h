// The program's settings in "pictolan.ini": the two of section "General", and the window's
// placement in a section of its own.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "graphic.h"
#include "ini_file.h"

inline constexpr const char* SettingsFileName = "pictolan.ini";
inline constexpr const char* SettingsSection = "General";
inline constexpr const char* SettingLoadAll = "LoadAll";
inline constexpr const char* SettingPath = "Path";
inline constexpr const char* WindowSection = "Window";

struct TAppSettings {
    bool LoadAll = false;
    // Present whenever the key exists, also with an empty value: the folder tree then gets
    // the empty path and lists nothing.
    std::optional<std::string> Path;
};

TAppSettings ReadAppSettings(const TIniFile& ini);
void WriteAppSettings(TIniFile& ini, bool loadAll, const std::string& path);

// Where the settings live. Beside the executable while its folder can be written (a portable
// copy, the build tree); an installed copy's folder cannot be, and every change would be lost,
// so it keeps them in configHome/pictolan/ ($XDG_CONFIG_HOME) instead. appDirectory ends in
// the separator.
std::string SettingsFilePath(const std::string& appDirectory, const std::string& configHome);
// Whether this process may create files in the folder (no file is made to find out).
bool FolderIsWritable(const std::string& folder);
// Creates the folder that is to hold the file, when it is missing. A failure shows later, as
// the write's own error.
void EnsureSettingsFolder(const std::string& settingsFile);

// The main window's size, position and folder-tree width; the design values until stored.
struct TWindowPlacement {
    int32_t Left = 228;
    int32_t Top = 130;
    int32_t Width = 716;
    int32_t Height = 523;
    bool Maximized = false;
    int32_t TreeWidth = 209;

    bool operator==(const TWindowPlacement&) const = default;
};

// Keys that are missing, not numbers or out of reason keep the design values.
TWindowPlacement ReadWindowPlacement(const TIniFile& ini);
void WriteWindowPlacement(TIniFile& ini, const TWindowPlacement& placement);

// Brings a placement onto a screen's free area (the desktop less its panels): a window larger
// than the area is shrunk to it and starts maximised; one partly off the area (a screen that
// is gone, a smaller one) is moved onto it. An empty area leaves the placement as it is.
TWindowPlacement FitPlacementToScreen(TWindowPlacement placement, const TRect& available);
