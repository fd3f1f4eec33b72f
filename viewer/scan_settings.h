// What the viewer remembers between runs (where its windows were), and the
// private files it writes: exported images and these settings show or point
// to patients, so they are the user's alone.
#pragma once

#include <cstdio>
#include <optional>
#include <string>

#include "platform/canvas.h"

// Makes the missing folders of `dir` (a path ending in '/') with mode 0700.
void Private_Make_Dirs(const std::string& dir);
// Opens a file for writing from its start: created 0600 (an older file of
// this user is narrowed to 0600), never through a symbolic link, and only a
// regular file of this user; null with errno set otherwise.
FILE* Private_Open_Write(const std::string& path);

struct ViewerSettings {
  // Frame top-left and client size of the panel and the image window.
  std::optional<platform::Rect> panel, image;
};

// $XDG_CONFIG_HOME/kemascopia/, else ~/.config/kemascopia/, with a trailing
// '/'; empty when there is no home.
std::string Settings_Dir();
// Absent or unreadable settings are empty ones.
ViewerSettings Settings_Load();
// 1 when written (0600 in a 0700 folder).
int Settings_Save(const ViewerSettings& settings);
