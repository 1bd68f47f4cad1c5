// The IVI configuration store as an XML file: the layout the configuration server itself keeps
// its store in, so that an exported store (or the server's own master file) reads unchanged.
// Standard C++ only: the command-line tool compiles it too, to list the logical names.
//
// Where the file is looked for, first found wins:
//   1. the file named by the environment variable KORVANE_CONFIG_STORE;
//   2. per user: Linux $XDG_CONFIG_HOME/ivi/IviConfigurationStore.xml (XDG_CONFIG_HOME
//      defaulting to ~/.config); Windows %APPDATA%\IVI Foundation\IVI\Data\IviConfigurationStore.xml;
//   3. system: Linux /etc/ivi/IviConfigurationStore.xml; Windows the configuration server's
//      master location, %PROGRAMDATA%\IVI Foundation\IVI\Data\IviConfigurationStore.xml.
// No file at all means no store: the resource name is the I/O resource descriptor. A variable
// naming a file that is not there, or a file that cannot be parsed, is an error, never a
// silent fallback: the caller meant a logical name to resolve.
#pragma once

#include "core/SessionFlags.h"

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvane::configstore {

inline constexpr const char* kStoreVariable = "KORVANE_CONFIG_STORE";

// One setting of a session's "Configurable Initial Settings": a data component's name, its type
// (the element name, IviBoolean, IviInteger, IviReal, IviString) and its value as written.
struct InitialSetting {
  std::string name, type, value;
};

struct DriverSession : StoredSessionFlags {
  std::string name;
  std::string softwareModule;  // its name
  std::string hardwareAsset;   // its name
  std::string ioResourceDescriptor;
  std::string driverSetup;
  std::map<std::string, std::string> virtualNames;  // virtual name -> physical name
  std::vector<InitialSetting> initialSettings;
};

struct SoftwareModule {
  std::string name, prefix;
  std::vector<InitialSetting> initialSettings;  // applied when a session names none
};

struct LogicalName {
  std::string name;
  std::string session;  // the driver session's name; empty when it names none
};

struct Store {
  std::string path;
  std::vector<SoftwareModule> softwareModules;
  std::vector<DriverSession> sessions;
  std::vector<LogicalName> logicalNames;

  // The session a logical name (or, failing that, a driver session's own name) stands for;
  // names compare without regard to case, as the configuration server compares them.
  const DriverSession* FindSession(std::string_view name) const;
  // The module of that name or prefix (compared without regard to case), or null.
  const SoftwareModule* FindSoftwareModule(std::string_view nameOrPrefix) const;
};

// The file the store is read from, or empty when there is none. `error` is set when the
// environment variable names a file that does not exist.
std::string LocateStore(std::string* error);

// Reads and parses a store file; false with `error` ("<path>:<line>: <what>") when it cannot.
bool LoadStore(const std::string& path, Store& out, std::string* error);
// The same over text already read (`path` only names it in errors).
bool ParseStore(std::string_view xml, const std::string& path, Store& out, std::string* error);

}  // namespace korvane::configstore
