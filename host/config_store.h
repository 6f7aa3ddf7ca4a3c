// The host configuration store: an INI file whose sections are key paths
// (for example [SOFTWARE\ALVERO\ReconServer]) holding Name=value entries.
// The file is named by KORVAN_CONFIG, default /etc/korvan/korvan.ini.
// Section and value names compare without regard to case.
#pragma once

#include <cstddef>
#include <string>

struct ConfigKey {
  std::string file;
  std::string path;
  bool open = false;
};

// The configuration file in use.
std::string configFilePath();

// Opens an existing key for reading; false when the file or section is missing.
bool configOpenKey(const char* keyPath, ConfigKey& key);
// Opens a key, appending its empty section when the file exists, lacks it and
// is writable. A missing file is not created: the operation then fails.
bool configCreateKey(const char* keyPath, ConfigKey& key);
// Copies the value's text into buffer (size bytes, terminator included);
// false when the value is missing or does not fit.
bool configReadValue(const ConfigKey& key, const char* name, char* buffer, size_t size);
void configCloseKey(ConfigKey& key);
