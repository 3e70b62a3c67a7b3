// The program's two settings, kept in "pictolan.ini" beside the executable.
#pragma once

#include <optional>
#include <string>

#include "ini_file.h"

inline constexpr const char* SettingsFileName = "pictolan.ini";
inline constexpr const char* SettingsSection = "General";
inline constexpr const char* SettingLoadAll = "LoadAll";
inline constexpr const char* SettingPath = "Path";

struct TAppSettings {
    bool LoadAll = false;
    // Present whenever the key exists, also with an empty value: the folder tree then gets
    // the empty path and lists nothing.
    std::optional<std::string> Path;
};

TAppSettings ReadAppSettings(const TIniFile& ini);
void WriteAppSettings(TIniFile& ini, bool loadAll, const std::string& path);
