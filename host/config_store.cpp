#include "host/config_store.h"

#include <ini.h>
#include <strings.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

std::string configFilePath() {
  const char* env = std::getenv("KORVAN_CONFIG");
  return env && *env ? env : "/etc/korvan/korvan.ini";
}

namespace {

std::string trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return "";
  size_t e = s.find_last_not_of(" \t\r\n");
  return s.substr(b, e - b + 1);
}

// inih reports only sections that hold values, so an empty section is found
// by reading the section lines directly.
bool sectionExists(const std::string& file, const std::string& section, bool& fileOpened) {
  std::ifstream in(file);
  fileOpened = static_cast<bool>(in);
  std::string line;
  while (std::getline(in, line)) {
    std::string t = trim(line);
    if (t.size() >= 2 && t.front() == '[' && t.back() == ']' &&
        strcasecmp(trim(t.substr(1, t.size() - 2)).c_str(), section.c_str()) == 0)
      return true;
  }
  return false;
}

struct Lookup {
  const char* section = nullptr;
  const char* name = nullptr;
  bool found = false;
  std::string value;
};

int collect(void* user, const char* section, const char* name, const char* value) {
  auto* lookup = static_cast<Lookup*>(user);
  if (!lookup->found && strcasecmp(section, lookup->section) == 0 && strcasecmp(name, lookup->name) == 0) {
    lookup->found = true;
    lookup->value = value;
  }
  return 1;
}

}  // namespace

bool configOpenKey(const char* keyPath, ConfigKey& key) {
  key = ConfigKey{};
  bool opened = false;
  std::string file = configFilePath();
  if (!sectionExists(file, keyPath, opened)) return false;
  key.file = file;
  key.path = keyPath;
  key.open = true;
  return true;
}

bool configCreateKey(const char* keyPath, ConfigKey& key) {
  if (configOpenKey(keyPath, key)) return true;
  std::string file = configFilePath();
  if (access(file.c_str(), W_OK) != 0) return false;  // also false when missing
  FILE* f = std::fopen(file.c_str(), "a");
  if (!f) return false;
  bool ok = std::fprintf(f, "\n[%s]\n", keyPath) > 0;
  ok = std::fclose(f) == 0 && ok;
  if (!ok) return false;
  key.file = file;
  key.path = keyPath;
  key.open = true;
  return true;
}

bool configReadValue(const ConfigKey& key, const char* name, char* buffer, size_t size) {
  if (!key.open || size == 0) return false;
  Lookup lookup;
  lookup.section = key.path.c_str();
  lookup.name = name;
  if (ini_parse(key.file.c_str(), collect, &lookup) < 0 || !lookup.found) return false;
  if (lookup.value.size() + 1 > size) return false;
  std::memcpy(buffer, lookup.value.c_str(), lookup.value.size() + 1);
  return true;
}

void configCloseKey(ConfigKey& key) { key = ConfigKey{}; }
