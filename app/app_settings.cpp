#include "app_settings.h"

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
