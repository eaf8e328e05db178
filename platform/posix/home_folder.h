// The home folder of the user who runs the program, as the settings and the state folder
// find it.
#pragma once

#include <string>

// HOME when it is an absolute path to a folder that this user owns; else the home folder
// of the user's passwd entry (cron and system services may start the program with HOME
// unset or with another user's HOME); empty when neither gives one.
std::string UserHomeFolder();
