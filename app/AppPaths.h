// Where the application keeps its files, and the names inside those folders.
// All paths use '/'.
#pragma once

#include <string>
#include <string_view>

namespace lfapp {

// Environment variable that replaces the application-data folder (tests).
inline constexpr char kDataHomeEnvironment[] = "LANTERNFISH_DATA_HOME";

// The common application-data folder: $LANTERNFISH_DATA_HOME, else
// $XDG_DATA_HOME, else $HOME/.local/share.
std::string ApplicationDataHome();
// Data folder of a release: <data home>/Orvane/Lanternfish/Lanternfish<id>.
std::string DataFolder(std::string_view releaseId);
// Task INI: <data folder>/<release id>.lfconf
std::string TaskIniPath(std::string_view dataFolder, std::string_view releaseId);
// Log base path: <data folder>/<release id>
std::string LogBasePath(std::string_view dataFolder, std::string_view releaseId);
// Statistics configuration name and path: <data folder>/dataupload.lfconf
inline constexpr char kStatisticsConfigName[] = "dataupload.lfconf";
std::string StatisticsConfigPath(std::string_view dataFolder);
// Info folder: <data folder>/<task hash>LFInfo/ (with the trailing '/').
std::string InfoFolder(std::string_view dataFolder, std::string_view taskHash);
// Info file of an entry: <info folder><file name>.lfinfo
std::string InfoFilePath(std::string_view infoFolder, std::string_view fileName);
// Torrent written for an entry: <data folder>/<expected md5>
std::string TorrentPath(std::string_view dataFolder, std::string_view expectedMd5);
// "file://" locator of that torrent, as the task description carries it.
std::string TorrentLocator(std::string_view torrentPath);
// Target file: <save folder>/<file name>; while incomplete + ".lftmp".
std::string TargetPath(std::string_view saveFolder, std::string_view fileName);
inline constexpr char kTempTargetSuffix[] = ".lftmp";
std::string TempTargetPath(std::string_view saveFolder, std::string_view fileName);
// Task link INI in the working directory: <cwd>/LanternfishTaskLink.ini
std::string TaskLinkIniPath();

// The user's download folder: $XDG_DOWNLOAD_DIR, else ~/Downloads when it
// exists, else $HOME (else "/tmp" when HOME is unset).
std::string UserDownloadFolder();
// Default save folder: <user download folder>/qarrd160107
std::string DefaultSaveFolder();
// The user's temporary folder (resource-writer fallback): $TMPDIR, else /tmp.
std::string UserTempFolder();

// Joins a folder and a name with one '/' between them.
std::string JoinPath(std::string_view folder, std::string_view name);
// Creates a folder with all missing parents; true when it exists afterwards.
bool MakeFolders(const std::string& folder);

}  // namespace lfapp
