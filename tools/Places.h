// Where the program keeps its files. The settings file and the tool folder live beside the
// executable when a tool folder is there and the folder is writable (a build tree, a portable
// copy). Otherwise (an installed program) nothing is written beside the executable: the settings
// live in $XDG_CONFIG_HOME/qx-com/ and the tool folder in $XDG_DATA_HOME/qx-com/qxtools/, seeded on
// the first run from the installed data folder (../share/qx-com/ from the executable's folder),
// which may also hold a settings file that new users start from. Nobody else builds these paths.
#pragma once

#include <string>

enum class TQxPlace {
    qpSettingsFile, // "qx-com-103.ini"
    qpToolFolder,   // "qxtools/", with a trailing "/"
};

// The full path of a place. The folder holding it exists afterwards (when it can be made).
std::string placeOf(TQxPlace place);

// The folder of the running executable, with a trailing "/".
std::string executableFolder();

// Makes placeOf use another executable folder and other XDG folders (tests). Empty texts restore
// the real ones.
void overridePlaces(const std::string& exeFolder, const std::string& configHome = {},
                    const std::string& dataHome = {});

// The maker's web site address (no trailing "/"); the settings file's [Web] "Site" replaces it.
std::string makerSite();
