#pragma once

#include <QString>

// The program's version information, set by the build.
namespace VersionInfo {
QString Title(); // the application title, "Zorvane"
int Major();
int Minor();
int Revision();
// "<title> <major>.<minor> (Rev. <revision>)", plain decimal numbers.
QString VersionLine();
} // namespace VersionInfo
